#pragma once
// The agent's pipes: their names, the buffer sizes their instances are created with, and
// which message types each takes.
#include <cstdint>

#include "common/wide.h"
#include "wire/message.h"

namespace qfu::wire {

// Served by the agent: every message type, from callers signed by the product's publisher.
inline constexpr const WideChar* kRequestPipeName = QFU_WIDE("\\\\.\\pipe\\qfupdateagent_request");
// Served by the agent: open to every local user, for the types IsInfoPipeMessageType allows.
inline constexpr const WideChar* kInfoPipeName = QFU_WIDE("\\\\.\\pipe\\qfupdateagent_info");
// Served by a client of the product: one status record per status change.
inline constexpr const WideChar* kStatusPipeName = QFU_WIDE("\\\\.\\pipe\\qfupdateagent_status");
// Served by the product's UI process in the user's session.
inline constexpr const WideChar* kUiPipeName = QFU_WIDE("\\\\.\\pipe\\qfupdateagent_ui");

// The served pipes' buffer sizes: a status record goes out, a message header comes in.
inline constexpr std::uint32_t kPipeOutBufferSize = kStatusRecordSize;
inline constexpr std::uint32_t kPipeInBufferSize = kHeaderSize;

// True when a message of that type may be sent on the info pipe: the queries (3, 4, 6) and
// the release of postponed requests (7).
[[nodiscard]] constexpr bool IsInfoPipeMessageType(std::uint32_t type) noexcept {
  return type == kQueryRequest || type == kEnumerateRequests || type == kQueryPostponed ||
         type == kInstallPostponedNow;
}

}  // namespace qfu::wire
