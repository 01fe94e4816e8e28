#pragma once
// Messages that many tests send, and the reply buffers they read.
#include <array>
#include <cstdint>
#include <ostream>
#include <string_view>
#include <vector>

#include "wire/message_writer.h"

namespace qfu::wire {
// Tests print statuses and result codes as their names and values.
std::ostream& operator<<(std::ostream& out, UpdateStatus status);
std::ostream& operator<<(std::ostream& out, ResultCode code);
std::ostream& operator<<(std::ostream& out, RequestFlags flags);
}  // namespace qfu::wire

namespace qfu::test {

// A typical submit: name, UI name, version, a package URL and installer arguments.
[[nodiscard]] wire::MessageWriter SubmitMessage(std::string_view name,
                                                std::string_view url = "http://127.0.0.1/p.msi",
                                                std::string_view arguments = "");
// A header-only message of that type naming a request (query, cancel).
[[nodiscard]] wire::MessageWriter NamedMessage(std::uint32_t type, std::string_view name);
// The message's 37-byte request name field.
[[nodiscard]] wire::Bytes NameField(const wire::MessageWriter& message);

// A reply buffer of the agent's capacity with a status record at its head.
struct ReplyBuffer {
  std::array<std::uint8_t, wire::kReplyCapacity> bytes{};

  [[nodiscard]] wire::StatusRecord record() { return wire::StatusRecord(bytes); }
  [[nodiscard]] std::string_view name();
  // What the agent sends of it: the first length() bytes.
  [[nodiscard]] std::vector<std::uint8_t> Sent();
};

// A cleared status record with these fields, as the agent replies or notifies.
[[nodiscard]] ReplyBuffer StatusReply(std::string_view name, wire::UpdateStatus status,
                                      std::uint32_t error = 0, std::uint32_t instance = 0);

}  // namespace qfu::test
