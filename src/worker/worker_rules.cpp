#include "worker/worker_rules.h"

#include "wire/message.h"
#include "wire/update_status.h"

namespace qfu::worker {

Stage StageForStatus(std::uint32_t status) noexcept {
  if (status == wire::kCompleted) return Stage::kFinishInstalled;
  if (wire::IsFinalStatus(status)) return Stage::kFinish;
  switch (status) {
    case wire::kQueued:
    case wire::kDownloadRetry:
      return Stage::kDownload;
    case wire::kPostponed:
    case wire::kDownloaded:
    case wire::kDeferred:
      return Stage::kApproval;
    case wire::kReadyToInstall:
      return Stage::kInstallation;
    default:
      return Stage::kNotListed;
  }
}

bool VersionAllowsDownload(store::InstalledVersionResult result) noexcept {
  using Result = store::InstalledVersionResult;
  return result == Result::kInstalledUnknown || result == Result::kSame || result == Result::kNewer;
}

bool IsNetworkAllowed(std::uint32_t request_flags, std::uint32_t network_type) noexcept {
  // Network type 3 is the one that flag 0x2 keeps downloads off.
  constexpr std::uint32_t kRestrictedType = 3;
  if (network_type == kRestrictedType && (request_flags & wire::flags::kNoDownloadOnPopType3) != 0) return false;
  if ((request_flags & wire::flags::kAllowedPopTypesMask) == 0) return true;
  switch (network_type) {
    case 1:
      return (request_flags & wire::flags::kAllowPopType1) != 0;
    case 2:
      return (request_flags & wire::flags::kAllowPopType2) != 0;
    case 3:
      return (request_flags & wire::flags::kAllowPopType3) != 0;
    default:
      return true;
  }
}

}  // namespace qfu::worker
