#pragma once
// The queue worker's pure rules: which stage a stored status leads to, whether the installed
// version lets a download go ahead, and whether the client's network allows one. Portable, so
// that they are tested natively.
#include <cstdint>

#include "store/version.h"

namespace qfu::worker {

// What an evaluation pass does with the status it reads from the request key.
enum class Stage {
  kFinishInstalled,  // Completed: finish, the installation succeeded
  kFinish,           // any other final status: finish
  kDownload,         // Queued, DownloadRetry
  kApproval,         // Postponed, Downloaded, Deferred
  kInstallation,     // ReadyToInstall
  kNotListed,        // anything else (Prompting left behind, 0 for an unreadable key, ...)
};

[[nodiscard]] Stage StageForStatus(std::uint32_t status) noexcept;

// True when the comparison with the installed version lets the download stage go on: nothing
// installed, the same version, or a newer package. An older package, or a request that names
// no version while one is installed, is refused.
[[nodiscard]] bool VersionAllowsDownload(store::InstalledVersionResult result) noexcept;

// True when the client's point-of-presence network type allows a download for these request
// flags: type 3 is refused with flag 0x2; once any of 0x80, 0x100, 0x200 is set, types 1, 2
// and 3 each need their own flag of the three. Other types are never restricted by them.
[[nodiscard]] bool IsNetworkAllowed(std::uint32_t request_flags, std::uint32_t network_type) noexcept;

}  // namespace qfu::worker
