#pragma once
// The queue worker's pure rules: which stage a stored status leads to, whether the installed
// version lets a download go ahead, whether the client's network allows one, and the approval
// and installation stages' arithmetic on tick counts and installer exit codes. Portable, so
// that they are tested natively.
#include <cstdint>

#include "common/clock.h"
#include "store/version.h"
#include "wire/message.h"
#include "wire/update_status.h"

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

[[nodiscard]] Stage StageForStatus(wire::UpdateStatus status) noexcept;

// True when the comparison with the installed version lets the download stage go on: nothing
// installed, the same version, or a newer package. An older package, or a request that names
// no version while one is installed, is refused.
[[nodiscard]] bool VersionAllowsDownload(store::InstalledVersionResult result) noexcept;

// True when the client's point-of-presence network type allows a download for these request
// flags: type 3 is refused with flag 0x2; once any of 0x80, 0x100, 0x200 is set, types 1, 2
// and 3 each need their own flag of the three. Other types are never restricted by them.
[[nodiscard]] bool IsNetworkAllowed(wire::RequestFlags request_flags, std::uint32_t network_type) noexcept;

// The install prompt's default time limit, the default postpone interval, and the margin the
// last postponement keeps before the deadline.
inline constexpr Milliseconds kPromptInterval{900000};

// The install prompt's time limit in milliseconds (the UI prompt's 32-bit field) at step_tick:
// up to the window's end (window_end_tick, 0: none) when the window closes before the
// deadline, else up to the deadline when it is still to come, else kPromptInterval. Never 0
// (which the UI reads as no limit) and never more than 32 bits hold.
[[nodiscard]] std::uint32_t PromptTimeoutMs(Milliseconds step_tick, Milliseconds window_end_tick,
                                            Milliseconds deadline_tick) noexcept;

// The due tick of a request the user postponed at reply_tick (before deadline_tick): after the
// postpone interval (interval_minutes; 0: kPromptInterval), but no later than kPromptInterval
// before the deadline, and never earlier than the deadline once that margin has passed.
[[nodiscard]] Milliseconds PostponedDueTick(Milliseconds reply_tick, std::uint32_t interval_minutes,
                                            Milliseconds deadline_tick) noexcept;

// True for the Windows Installer exit codes worth another run at the next wake: 1601, 1618,
// 1631, 1632, 1652 (service failure, another installation running, create failed, temporary
// folder unwritable, safe boot) and 1259 (blocked by application compatibility).
[[nodiscard]] bool IsRetryableInstallerExit(std::uint32_t exit_code) noexcept;

}  // namespace qfu::worker
