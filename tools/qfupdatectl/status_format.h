#pragma once
// Reading the agent's replies and status notifications, and printing them as text or as one
// JSON object per line. Portable: the caller supplies the local time.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "wire/message.h"

namespace qfu::ctl {

// A status record as received: the fields, their texts (raw bytes up to the NUL), and the
// text of a time stamp item when the reply carried one.
struct ReceivedRecord {
  wire::ResultCode result{};
  wire::UpdateStatus status{};
  std::uint32_t system_error = 0;
  std::uint32_t instance = 0;
  std::string name;
  std::string ui_name;
  std::string version;
  std::optional<std::string> time_stamp;
};

struct LocalTime {
  std::uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};

// Returns the reply (a status record, optionally followed by one item) or nothing, with the
// reason in error, when its sizes do not agree with the bytes received.
[[nodiscard]] std::optional<ReceivedRecord> ParseReply(std::span<const std::uint8_t> bytes,
                                                       std::string& error);

// Returns the notification (exactly one 159-byte status record) or nothing, with the reason in
// error, when it is anything else.
[[nodiscard]] std::optional<ReceivedRecord> ParseNotification(std::span<const std::uint8_t> bytes,
                                                              std::string& error);

// "Queued (2)", "DownloadRetry (0x80000004)", or the bare code when it has no name.
[[nodiscard]] std::string DescribeStatus(wire::UpdateStatus status);
[[nodiscard]] std::string DescribeResult(wire::ResultCode result);

// "NAME" or "NAME:INSTANCE" (instance in decimal, as the tool's options take it).
[[nodiscard]] std::string RequestIdentity(const ReceivedRecord& record);

// The text as a JSON string with its quotes: invalid UTF-8 becomes U+FFFD; quotes,
// backslashes and control characters are escaped.
[[nodiscard]] std::string JsonString(std::string_view utf8);

// The text made safe for one line of a terminal: invalid UTF-8 becomes U+FFFD and control
// characters are shown as \xNN.
[[nodiscard]] std::string PrintableText(std::string_view utf8);

// A reply as labelled lines, each ending with a newline; index is the enumeration index
// of a list reply, shown first when given.
[[nodiscard]] std::string FormatReplyText(const ReceivedRecord& reply,
                                          std::optional<std::uint32_t> index = {});
// A reply as one JSON object and a newline; index as above.
[[nodiscard]] std::string FormatReplyJson(const ReceivedRecord& reply,
                                          std::optional<std::uint32_t> index = {});

// A status notification as one line: time, request, status, system error code.
[[nodiscard]] std::string FormatStatusLine(const ReceivedRecord& record, const LocalTime& time);
// A status notification as one JSON object and a newline.
[[nodiscard]] std::string FormatStatusJson(const ReceivedRecord& record, const LocalTime& time);

}  // namespace qfu::ctl
