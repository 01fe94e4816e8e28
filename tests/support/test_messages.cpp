#include "support/test_messages.h"

#include <algorithm>

#include "common/utf.h"

namespace qfu::wire {

std::ostream& operator<<(std::ostream& out, UpdateStatus status) {
  const char* name = UpdateStatusName(status);
  return out << (name != nullptr ? name : "?") << " (" << WireValue(status) << ")";
}

std::ostream& operator<<(std::ostream& out, ResultCode code) {
  const char* name = ResultCodeName(code);
  return out << (name != nullptr ? name : "?") << " (" << WireValue(code) << ")";
}

std::ostream& operator<<(std::ostream& out, RequestFlags flags) {
  return out << "flags 0x" << std::hex << WireValue(flags) << std::dec;
}

}  // namespace qfu::wire

namespace qfu::test {

wire::MessageWriter SubmitMessage(std::string_view name, std::string_view url, std::string_view arguments) {
  wire::MessageWriter writer(wire::kSubmitRequest);
  writer.Name(name).UiName("Test Software").Version("1.2.3.4");
  writer.TextItem(wire::kPackageUrlItem, url).TextItem(wire::kInstallerArgumentsItem, arguments);
  return writer;
}

wire::MessageWriter NamedMessage(std::uint32_t type, std::string_view name) {
  wire::MessageWriter writer(type);
  writer.Name(name);
  return writer;
}

wire::Bytes NameField(const wire::MessageWriter& message) {
  return wire::RequestMessage(message.span()).request_name_field();
}

std::string_view ReplyBuffer::name() { return FieldText(record().request_name_field()); }

std::vector<std::uint8_t> ReplyBuffer::Sent() {
  const std::size_t length = std::min<std::size_t>(record().length(), bytes.size());
  return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length)};
}

ReplyBuffer StatusReply(std::string_view name, wire::UpdateStatus status, std::uint32_t error,
                        std::uint32_t instance) {
  ReplyBuffer reply;
  wire::StatusRecord record = reply.record();
  record.Clear();
  record.set_update_status(status);
  record.set_system_error_code(error);
  record.set_instance_number(instance);
  (void)WriteFieldText(record.request_name_field(), name);
  return reply;
}

}  // namespace qfu::test
