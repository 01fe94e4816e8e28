#include "status_format.h"

#include <cstdio>

#include "common/bytes.h"
#include "common/utf.h"
#include "wire/message.h"
#include "wire/update_status.h"

namespace qfu::ctl {
namespace {

// Failure codes (top bit set) read best in hexadecimal, the others in decimal.
std::string Code(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof(text), (code & 0x80000000u) != 0 ? "0x%08X" : "%u", static_cast<unsigned>(code));
  return text;
}

std::string Describe(std::uint32_t code, const char* name) {
  return name ? std::string(name) + " (" + Code(code) + ")" : Code(code);
}

std::string JsonName(const char* name) { return name ? JsonString(name) : "null"; }

bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Walks the text as UTF-16 (invalid UTF-8 already replaced) and hands every unit that needs
// escaping to escape(); the runs in between are copied as UTF-8.
template <typename Escape>
std::string Rewrite(std::string_view utf8, Escape escape) {
  const WideString wide = Utf8ToWide(utf8);
  std::string out;
  std::size_t run = 0;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    std::string replacement;
    if (!escape(static_cast<char16_t>(wide[i]), replacement)) continue;
    out += WideToUtf8(WideStringView(wide).substr(run, i - run));
    out += replacement;
    run = i + 1;
  }
  out += WideToUtf8(WideStringView(wide).substr(run));
  return out;
}

std::string TimeText(const LocalTime& time, char separator, bool milliseconds) {
  char text[64];
  if (milliseconds) {
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u%c%02u:%02u:%02u.%03u", time.year, time.month, time.day,
                  separator, time.hour, time.minute, time.second, time.milliseconds);
  } else {
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u%c%02u:%02u:%02u", time.year, time.month, time.day,
                  separator, time.hour, time.minute, time.second);
  }
  return text;
}

ReceivedRecord ReadRecord(std::span<const std::uint8_t> bytes) {
  ReceivedRecord record;
  record.result = static_cast<wire::ResultCode>(ReadU32(bytes, wire::kResultCodeAt));
  record.status = static_cast<wire::UpdateStatus>(ReadU32(bytes, wire::kUpdateStatusAt));
  record.system_error = ReadU32(bytes, wire::kSystemErrorCodeAt);
  record.instance = ReadU32(bytes, wire::kRecordInstanceNumberAt);
  record.name = FieldText(Slice(bytes, wire::kRecordRequestNameAt, wire::kRequestNameSize));
  record.ui_name = FieldText(Slice(bytes, wire::kRecordUiNameAt, wire::kUiNameSize));
  record.version = FieldText(Slice(bytes, wire::kRecordSoftwareVersionAt, wire::kSoftwareVersionSize));
  return record;
}

// The JSON members every record has, without braces.
std::string RecordMembers(const ReceivedRecord& record) {
  return "\"result\":" + std::to_string(wire::WireValue(record.result)) +
         ",\"result_name\":" + JsonName(wire::ResultCodeName(record.result)) +
         ",\"status\":" + std::to_string(wire::WireValue(record.status)) +
         ",\"status_name\":" + JsonName(wire::UpdateStatusName(record.status)) +
         ",\"name\":" + JsonString(record.name) + ",\"instance\":" + std::to_string(record.instance) +
         ",\"ui_name\":" + JsonString(record.ui_name) + ",\"version\":" + JsonString(record.version) +
         ",\"system_error_code\":" + std::to_string(record.system_error);
}

}  // namespace

std::optional<ReceivedRecord> ParseReply(std::span<const std::uint8_t> bytes, std::string& error) {
  if (bytes.size() < wire::kStatusRecordSize) {
    error = "the reply is " + std::to_string(bytes.size()) + " bytes, shorter than a status record";
    return std::nullopt;
  }
  const std::uint32_t record_size = ReadU32(bytes, wire::kRecordSizeAt);
  const std::uint32_t length = ReadU32(bytes, wire::kLengthAt);
  if (record_size != wire::kStatusRecordSize || length != bytes.size()) {
    error = "the reply's record size " + std::to_string(record_size) + " and length " +
            std::to_string(length) + " do not match the " + std::to_string(bytes.size()) + " bytes received";
    return std::nullopt;
  }
  ReceivedRecord record = ReadRecord(bytes);
  if (length > wire::kStatusRecordSize) {
    const std::size_t item_at = wire::kStatusRecordSize;
    const std::uint64_t item_length = ReadU32(bytes, item_at + 4);
    if (length < item_at + wire::kItemHeaderSize || item_at + wire::kItemHeaderSize + item_length != length) {
      error = "the item after the reply's status record does not fill the reply";
      return std::nullopt;
    }
    if (ReadU32(bytes, item_at) == wire::kTimeStampItem) {
      record.time_stamp = std::string(FieldText(bytes.subspan(item_at + wire::kItemHeaderSize)));
    }
  }
  return record;
}

std::optional<ReceivedRecord> ParseNotification(std::span<const std::uint8_t> bytes, std::string& error) {
  if (bytes.size() != wire::kStatusRecordSize ||
      ReadU32(bytes, wire::kRecordSizeAt) != wire::kStatusRecordSize ||
      ReadU32(bytes, wire::kLengthAt) != wire::kStatusRecordSize) {
    error = "a status notification of " + std::to_string(bytes.size()) + " bytes is not a status record";
    return std::nullopt;
  }
  return ReadRecord(bytes);
}

std::string DescribeStatus(wire::UpdateStatus status) {
  return Describe(wire::WireValue(status), wire::UpdateStatusName(status));
}
std::string DescribeResult(wire::ResultCode result) {
  return Describe(wire::WireValue(result), wire::ResultCodeName(result));
}

std::string RequestIdentity(const ReceivedRecord& record) {
  std::string identity = PrintableText(record.name);
  if (record.instance != 0) identity += ":" + std::to_string(record.instance);
  return identity;
}

std::string JsonString(std::string_view utf8) {
  return "\"" +
         Rewrite(utf8,
                 [](char16_t c, std::string& replacement) {
                   switch (c) {
                     case u'"':
                       replacement = "\\\"";
                       return true;
                     case u'\\':
                       replacement = "\\\\";
                       return true;
                     case u'\n':
                       replacement = "\\n";
                       return true;
                     case u'\r':
                       replacement = "\\r";
                       return true;
                     case u'\t':
                       replacement = "\\t";
                       return true;
                     case u'\b':
                       replacement = "\\b";
                       return true;
                     case u'\f':
                       replacement = "\\f";
                       return true;
                     default:
                       break;
                   }
                   // Line and paragraph separators end lines for some JSON readers.
                   if (!IsControl(c) && c != 0x2028 && c != 0x2029) return false;
                   char text[8];
                   std::snprintf(text, sizeof(text), "\\u%04x", static_cast<unsigned>(c));
                   replacement = text;
                   return true;
                 }) +
         "\"";
}

std::string PrintableText(std::string_view utf8) {
  return Rewrite(utf8, [](char16_t c, std::string& replacement) {
    if (!IsControl(c)) return false;
    char text[8];
    std::snprintf(text, sizeof(text), "\\x%02X", static_cast<unsigned>(c));
    replacement = text;
    return true;
  });
}

std::string FormatReplyText(const ReceivedRecord& reply, std::optional<std::uint32_t> index) {
  std::string text;
  if (index) text += "index:        " + std::to_string(*index) + "\n";
  text += "result:       " + DescribeResult(reply.result) + "\n";
  text += "status:       " + DescribeStatus(reply.status) + "\n";
  const std::string identity = RequestIdentity(reply);
  text += "request:      " + (identity.empty() ? std::string("(none)") : identity) + "\n";
  if (!reply.ui_name.empty()) text += "display name: " + PrintableText(reply.ui_name) + "\n";
  if (!reply.version.empty()) text += "version:      " + PrintableText(reply.version) + "\n";
  text += "system error: " + Code(reply.system_error) + "\n";
  if (reply.time_stamp) text += "time stamp:   " + PrintableText(*reply.time_stamp) + "\n";
  return text;
}

std::string FormatReplyJson(const ReceivedRecord& reply, std::optional<std::uint32_t> index) {
  std::string json = "{";
  if (index) json += "\"index\":" + std::to_string(*index) + ",";
  json +=
      RecordMembers(reply) + ",\"time_stamp\":" + (reply.time_stamp ? JsonString(*reply.time_stamp) : "null");
  return json + "}\n";
}

std::string FormatStatusLine(const ReceivedRecord& record, const LocalTime& time) {
  return TimeText(time, ' ', false) + " " + RequestIdentity(record) + " " + DescribeStatus(record.status) +
         " system error " + Code(record.system_error) + "\n";
}

std::string FormatStatusJson(const ReceivedRecord& record, const LocalTime& time) {
  return "{\"time\":\"" + TimeText(time, 'T', true) + "\"," + RecordMembers(record) + "}\n";
}

}  // namespace qfu::ctl
