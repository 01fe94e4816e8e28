#include "wire/message_writer.h"

#include <algorithm>

#include "common/bytes.h"

namespace qfu::wire {

MessageWriter::MessageWriter(std::uint32_t type) : bytes_(kHeaderSize, 0) {
  U32(kItemsOffsetAt, kHeaderSize);
  U32(kItemsEndAt, kHeaderSize);
  U32(kMessageTypeAt, type);
}

MessageWriter& MessageWriter::U32(std::size_t offset, std::uint32_t value) {
  WriteU32(bytes_, offset, value);
  return *this;
}

MessageWriter& MessageWriter::U16(std::size_t offset, std::uint16_t value) {
  WriteU16(bytes_, offset, value);
  return *this;
}

MessageWriter& MessageWriter::AddFlags(RequestFlags flags) {
  return Flags(RequestFlags{ReadU32(bytes_, kRequestFlagsAt)} | flags);
}

MessageWriter& MessageWriter::Instance(std::uint32_t instance) {
  U32(kInstanceNumberAt, instance);
  return AddFlags(flags::kDryRun);
}

MessageWriter& MessageWriter::Text(std::size_t offset, std::size_t size, std::string_view text) {
  const auto field = Slice(std::span<std::uint8_t>(bytes_), offset, size);
  std::fill(field.begin(), field.end(), std::uint8_t{0});
  std::copy_n(text.begin(), std::min(text.size(), field.size()), field.begin());
  return *this;
}

MessageWriter& MessageWriter::RawItem(std::uint32_t type, std::string_view data) {
  const std::size_t at = bytes_.size();
  bytes_.resize(at + kItemHeaderSize + data.size());
  WriteU32(bytes_, at, type);
  WriteU32(bytes_, at + 4, static_cast<std::uint32_t>(data.size()));
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at + kItemHeaderSize));
  return U32(kItemsEndAt, static_cast<std::uint32_t>(bytes_.size()));
}

MessageWriter& MessageWriter::TextItem(std::uint32_t type, std::string_view text) {
  std::string data(text);
  data.push_back('\0');
  return RawItem(type, data);
}

}  // namespace qfu::wire
