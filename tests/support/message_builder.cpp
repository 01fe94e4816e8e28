#include "support/message_builder.h"

#include <algorithm>

#include "common/bytes.h"

namespace qfu::test {

MessageBuilder::MessageBuilder(std::uint32_t type) : bytes_(ipc::kHeaderSize, 0) {
  U32(ipc::kItemsOffsetAt, ipc::kHeaderSize);
  U32(ipc::kItemsEndAt, ipc::kHeaderSize);
  U32(ipc::kMessageTypeAt, type);
}

MessageBuilder& MessageBuilder::U32(std::size_t offset, std::uint32_t value) {
  WriteU32(bytes_, offset, value);
  return *this;
}

MessageBuilder& MessageBuilder::U16(std::size_t offset, std::uint16_t value) {
  WriteU16(bytes_, offset, value);
  return *this;
}

void MessageBuilder::SetText(std::size_t offset, std::size_t size, std::string_view text) {
  std::fill_n(bytes_.begin() + offset, size, 0);
  std::copy_n(text.begin(), std::min(text.size(), size), bytes_.begin() + offset);
}

MessageBuilder& MessageBuilder::Name(std::string_view name) {
  SetText(ipc::kRequestNameAt, ipc::kRequestNameSize, name);
  return *this;
}

MessageBuilder& MessageBuilder::Instance(std::uint32_t instance) {
  U32(ipc::kInstanceNumberAt, instance);
  return Flags(ReadU32(bytes_, ipc::kRequestFlagsAt) | ipc::flags::kDryRun);
}

MessageBuilder& MessageBuilder::UiName(std::string_view name) {
  SetText(ipc::kUiNameAt, ipc::kUiNameSize, name);
  return *this;
}

MessageBuilder& MessageBuilder::Version(std::string_view version) {
  SetText(ipc::kSoftwareVersionAt, ipc::kSoftwareVersionSize, version);
  return *this;
}

MessageBuilder& MessageBuilder::RawItem(std::uint32_t type, std::string_view data) {
  const std::size_t at = bytes_.size();
  bytes_.resize(at + ipc::kItemHeaderSize + data.size());
  WriteU32(bytes_, at, type);
  WriteU32(bytes_, at + 4, static_cast<std::uint32_t>(data.size()));
  std::copy(data.begin(), data.end(), bytes_.begin() + at + ipc::kItemHeaderSize);
  return U32(ipc::kItemsEndAt, static_cast<std::uint32_t>(bytes_.size()));
}

MessageBuilder& MessageBuilder::TextItem(std::uint32_t type, std::string_view text) {
  std::string data(text);
  data.push_back('\0');
  return RawItem(type, data);
}

MessageBuilder SubmitMessage(std::string_view name, std::string_view url) {
  MessageBuilder builder(ipc::kSubmitRequest);
  builder.Name(name).UiName("Test Software").Version("1.2.3.4");
  builder.TextItem(ipc::kPackageUrlItem, url).TextItem(ipc::kInstallerArgumentsItem, "");
  return builder;
}

}  // namespace qfu::test
