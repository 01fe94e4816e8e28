#pragma once
// The service host's pure rules: which controls stop the service, which Windows versions
// count as newer (automatic proxy for downloads), and which status changes are written to the
// event log. Portable, so that they are tested natively.
#include <cstdint>

#include "wire/update_status.h"

namespace qfu::service {

// Controls acted on, as a bit mask over control numbers 0..15: STOP (1), SHUTDOWN (5) and
// PRESHUTDOWN (15).
inline constexpr std::uint32_t kStopControlsMask = 0x8022;

// True when the control number is one the service stops on.
[[nodiscard]] constexpr bool IsStopControl(std::uint32_t control) noexcept {
  return control < 16 && ((kStopControlsMask >> control) & 1) != 0;
}

// True for Windows 6.3 or later.
[[nodiscard]] constexpr bool IsNewerWindows(std::uint32_t major, std::uint32_t minor) noexcept {
  return major > 6 || (major == 6 && minor >= 3);
}

// Identifiers of the Application log entries of the source QFUpdate, as in the message table
// (res/qfupdate_messages.mc): severity in the top two bits (1 information, 2 warning, 3
// error), facility 2, then the entry's number.
namespace event_id {
inline constexpr std::uint32_t kServiceStartFailed = 0xC0020001;
inline constexpr std::uint32_t kRequestCompleted = 0x40020002;
inline constexpr std::uint32_t kRequestCancelled = 0x40020003;
inline constexpr std::uint32_t kConsentTimedOut = 0x80020004;
inline constexpr std::uint32_t kDownloadFailed = 0xC0020005;
inline constexpr std::uint32_t kVerificationFailed = 0xC0020006;
inline constexpr std::uint32_t kInstallFailed = 0xC0020007;
inline constexpr std::uint32_t kRestartFailed = 0x80020008;
}  // namespace event_id

// The entry written when a request's status becomes status with error code error: one for
// each final status, and one for RestartPending with an error (the agent's restart failed);
// 0 for every other change.
[[nodiscard]] constexpr std::uint32_t OutcomeEventId(wire::UpdateStatus status,
                                                     std::uint32_t error) noexcept {
  switch (status) {
    case wire::kCompleted:
      return event_id::kRequestCompleted;
    case wire::kCancelled:
      return event_id::kRequestCancelled;
    case wire::kConsentTimedOut:
      return event_id::kConsentTimedOut;
    case wire::kDownloadFailed:
      return event_id::kDownloadFailed;
    case wire::kVerificationFailed:
      return event_id::kVerificationFailed;
    case wire::kInstallFailed:
      return event_id::kInstallFailed;
    case wire::kRestartPending:
      return error != 0 ? event_id::kRestartFailed : 0;
    default:
      return 0;
  }
}

// The event type of ReportEventW for an entry, from its severity: 1 (error), 2 (warning) or 4
// (information).
[[nodiscard]] constexpr std::uint16_t EventTypeOf(std::uint32_t event_id) noexcept {
  switch (event_id >> 30) {
    case 3:
      return 1;
    case 2:
      return 2;
    default:
      return 4;
  }
}

}  // namespace qfu::service
