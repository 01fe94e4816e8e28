#pragma once
// Builds request messages: a 195-byte header with fields set by name, and items appended at
// the end; items offset and items end always frame the items. The one message writer, used by
// qfupdatectl and by the tests.
#include <cstdint>
#include <string_view>
#include <vector>

#include "wire/message.h"

namespace qfu::wire {

class MessageWriter {
 public:
  explicit MessageWriter(std::uint32_t type = kSubmitRequest);

  MessageWriter& U32(std::size_t offset, std::uint32_t value);
  MessageWriter& U16(std::size_t offset, std::uint16_t value);
  MessageWriter& Flags(RequestFlags flags) { return U32(kRequestFlagsAt, WireValue(flags)); }
  // Adds flags to those already set.
  MessageWriter& AddFlags(RequestFlags flags);
  // Sets the instance number and the flag 0x8 that makes it part of the request's identity.
  MessageWriter& Instance(std::uint32_t instance);
  // Header texts: as many bytes as the field holds, the rest NUL-padded. A text as long as
  // its field is written without a NUL (tests use that to send malformed names).
  MessageWriter& Name(std::string_view name) { return Text(kRequestNameAt, kRequestNameSize, name); }
  MessageWriter& UiName(std::string_view name) { return Text(kUiNameAt, kUiNameSize, name); }
  MessageWriter& Version(std::string_view version) {
    return Text(kSoftwareVersionAt, kSoftwareVersionSize, version);
  }
  MessageWriter& Text(std::size_t offset, std::size_t size, std::string_view text);
  // Appends an item holding data as it is (no NUL added).
  MessageWriter& RawItem(std::uint32_t type, std::string_view data);
  // Appends a text item: the text and its NUL.
  MessageWriter& TextItem(std::uint32_t type, std::string_view text);

  [[nodiscard]] const std::vector<std::uint8_t>& bytes() const& { return bytes_; }
  [[nodiscard]] std::vector<std::uint8_t> bytes() && { return std::move(bytes_); }
  [[nodiscard]] Bytes span() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace qfu::wire
