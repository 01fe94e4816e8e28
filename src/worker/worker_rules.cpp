#include "worker/worker_rules.h"

#include <algorithm>
#include <limits>

#include "wire/message.h"
#include "wire/update_status.h"

namespace qfu::worker {

Stage StageForStatus(wire::UpdateStatus status) noexcept {
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

bool IsNetworkAllowed(wire::RequestFlags request_flags, std::uint32_t network_type) noexcept {
  // Network type 3 is the one that flag 0x2 keeps downloads off.
  constexpr std::uint32_t kRestrictedType = 3;
  if (network_type == kRestrictedType && wire::Any(request_flags & wire::flags::kNoDownloadOnPopType3))
    return false;
  if (!wire::Any(request_flags & wire::flags::kAllowedPopTypesMask)) return true;
  switch (network_type) {
    case 1:
      return wire::Any(request_flags & wire::flags::kAllowPopType1);
    case 2:
      return wire::Any(request_flags & wire::flags::kAllowPopType2);
    case 3:
      return wire::Any(request_flags & wire::flags::kAllowPopType3);
    default:
      return true;
  }
}

}  // namespace qfu::worker

namespace qfu::worker {

std::uint32_t PromptTimeoutMs(Milliseconds step_tick, Milliseconds window_end_tick,
                              Milliseconds deadline_tick) noexcept {
  Milliseconds timeout = kPromptInterval;
  if (window_end_tick != Milliseconds::zero() && deadline_tick > window_end_tick) {
    timeout = window_end_tick > step_tick ? window_end_tick - step_tick : Milliseconds::zero();
  } else if (deadline_tick > step_tick) {
    timeout = deadline_tick - step_tick;
  }
  // A window closing this very moment still gets a limit: 0 would let the prompt wait forever.
  constexpr std::uint64_t kLongest = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(timeout.count(), 1, kLongest));
}

Milliseconds PostponedDueTick(Milliseconds reply_tick, std::uint32_t interval_minutes,
                              Milliseconds deadline_tick) noexcept {
  const Milliseconds interval =
      interval_minutes != 0 ? Milliseconds{Minutes{interval_minutes}} : kPromptInterval;
  const Milliseconds last_prompt =
      deadline_tick > kPromptInterval ? deadline_tick - kPromptInterval : Milliseconds::zero();
  // Past the last prompt's margin, the next prompt waits for the deadline itself: capping at a
  // moment already passed would ask the user again at once, over and over.
  if (last_prompt <= reply_tick) return deadline_tick;
  return std::min(reply_tick + interval, last_prompt);
}

bool IsRetryableInstallerExit(std::uint32_t exit_code) noexcept {
  constexpr std::uint32_t kFirstMasked = 1601;  // ERROR_INSTALL_SERVICE_FAILURE
  constexpr std::uint32_t kLastMasked = 1652;   // ERROR_INSTALL_SERVICE_SAFEBOOT
  // Bit (code - 1601): 1601, 1618, 1631, 1632 and 1652.
  constexpr std::uint64_t kRetryableMask = 0x80000C0020001ull;
  constexpr std::uint32_t kApphelpBlock = 1259;  // ERROR_APPHELP_BLOCK
  if (exit_code == kApphelpBlock) return true;
  if (exit_code < kFirstMasked || exit_code > kLastMasked) return false;
  return ((kRetryableMask >> (exit_code - kFirstMasked)) & 1) != 0;
}

}  // namespace qfu::worker
