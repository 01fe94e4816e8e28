#pragma once
// UpdateStatus codes: one per request, stored in its request key and carried in every status
// record. Values with the top bit set report failures; all of them are final except
// DownloadRetry.
#include <cstdint>

namespace qfu::wire {

enum class UpdateStatus : std::uint32_t {
  kCompleted = 1,
  kQueued = 2,
  kDownloading = 3,
  kVerifying = 5,
  kInstalling = 7,
  kPostponed = 9,
  kCancelRequested = 12,  // reply only, never stored
  kPrompting = 13,
  kDownloaded = 17,
  kReadyToInstall = 18,
  kRestartPending = 20,
  kDeferred = 21,
  kDownloadRetry = 0x80000004,
  kVerificationFailed = 0x80000006,
  kInstallFailed = 0x80000008,
  kCancelled = 0x8000000B,
  kDownloadFailed = 0x8000000F,
  kConsentTimedOut = 0x80000010,
};
using enum UpdateStatus;

inline constexpr std::uint32_t kFailureBit = 0x80000000;

// The status as stored in "UpdateStatus" and carried at status record offset 12.
[[nodiscard]] constexpr std::uint32_t WireValue(UpdateStatus status) noexcept {
  return static_cast<std::uint32_t>(status);
}

// True for Completed and for every value with the top bit set except DownloadRetry: the
// request is over, its prunable values are deleted and nothing works on it any more.
[[nodiscard]] constexpr bool IsFinalStatus(UpdateStatus status) noexcept {
  return status == kCompleted || ((WireValue(status) & kFailureBit) != 0 && status != kDownloadRetry);
}

// True when a submit of the same name and instance number must be refused: the stored status
// has the top bit clear (Completed included) or is DownloadRetry.
[[nodiscard]] constexpr bool BlocksResubmission(UpdateStatus status) noexcept {
  return (WireValue(status) & kFailureBit) == 0 || status == kDownloadRetry;
}

// Returns the status's name ("Queued", "DownloadRetry", ...), or nullptr when unknown.
[[nodiscard]] const char* UpdateStatusName(UpdateStatus status) noexcept;

}  // namespace qfu::wire
