#pragma once
// Builds request messages for tests: a 195-byte header with fields set by name and items
// appended at the end; items offset and items end follow the items.
#include <cstdint>
#include <string_view>
#include <vector>

#include "ipc/message.h"

namespace qfu::test {

class MessageBuilder {
 public:
  explicit MessageBuilder(std::uint32_t type = ipc::kSubmitRequest);

  MessageBuilder& U32(std::size_t offset, std::uint32_t value);
  MessageBuilder& U16(std::size_t offset, std::uint16_t value);
  MessageBuilder& Flags(std::uint32_t flags) { return U32(ipc::kRequestFlagsAt, flags); }
  MessageBuilder& Name(std::string_view name);
  MessageBuilder& Instance(std::uint32_t instance);  // also sets the dry-run flag 0x8
  MessageBuilder& UiName(std::string_view name);
  MessageBuilder& Version(std::string_view version);
  // Appends an item with raw data (no NUL added).
  MessageBuilder& RawItem(std::uint32_t type, std::string_view data);
  // Appends a text item: the text and its NUL.
  MessageBuilder& TextItem(std::uint32_t type, std::string_view text);

  [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  [[nodiscard]] ipc::Bytes span() const { return bytes_; }

 private:
  void SetText(std::size_t offset, std::size_t size, std::string_view text);
  std::vector<std::uint8_t> bytes_;
};

// A typical submit: name, UI name, version, a package URL and empty installer arguments.
[[nodiscard]] MessageBuilder SubmitMessage(std::string_view name, std::string_view url = "http://127.0.0.1/p.msi");

}  // namespace qfu::test
