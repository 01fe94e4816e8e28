#include "qfupdatectl/status_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/utf.h"
#include "wire/message.h"
#include "wire/update_status.h"

namespace qfu::ctl {
namespace {

// A reply buffer of the agent's capacity holding a status record; the bytes sent are the
// first length() of them.
struct RecordBytes {
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(wire::kReplyCapacity, 0);
  wire::StatusRecord record{buffer};

  RecordBytes(std::string_view name, std::uint32_t status, std::uint32_t error = 0, std::uint32_t instance = 0) {
    record.Clear();
    record.set_update_status(status);
    record.set_system_error_code(error);
    record.set_instance_number(instance);
    (void)WriteFieldText(record.request_name_field(), name);
  }
  [[nodiscard]] std::vector<std::uint8_t> Sent() const {
    return {buffer.begin(), buffer.begin() + record.length()};
  }
};

constexpr LocalTime kTime{2024, 5, 1, 9, 5, 3, 7};

TEST(ParseReply, ReadsTheRecordAndATimeStampItem) {
  RecordBytes reply("Client", wire::kDownloading, 0, 26);
  (void)WriteFieldText(reply.record.ui_name_field(), "Test Software");
  (void)WriteFieldText(reply.record.software_version_field(), "1.2.3.4");
  wire::AppendTextItem(reply.buffer, wire::kTimeStampItem, QFU_WIDE("01.05.2024 09:00:00"));
  std::string error;
  const auto parsed = ParseReply(reply.Sent(), error);
  ASSERT_TRUE(parsed.has_value()) << error;
  EXPECT_EQ(parsed->result, 0u);
  EXPECT_EQ(parsed->status, wire::kDownloading);
  EXPECT_EQ(parsed->instance, 26u);
  EXPECT_EQ(parsed->name, "Client");
  EXPECT_EQ(parsed->ui_name, "Test Software");
  EXPECT_EQ(parsed->version, "1.2.3.4");
  EXPECT_EQ(parsed->time_stamp, "01.05.2024 09:00:00");

  // A time stamp too long for the reply arrives as an empty item: present, but empty.
  RecordBytes cut("Client", wire::kQueued);
  wire::AppendTextItem(cut.buffer, wire::kTimeStampItem, WideString(70, QFU_WIDE('x')));
  ASSERT_EQ(cut.record.length(), 167u);
  const auto parsed_cut = ParseReply(cut.Sent(), error);
  ASSERT_TRUE(parsed_cut.has_value()) << error;
  EXPECT_EQ(parsed_cut->time_stamp, "");

  const auto plain = ParseReply(RecordBytes("Client", wire::kQueued).Sent(), error);
  ASSERT_TRUE(plain.has_value());
  EXPECT_FALSE(plain->time_stamp.has_value());
}

TEST(ParseReply, RefusesSizesThatDisagreeWithTheBytesReceived) {
  std::string error;
  RecordBytes reply("Client", wire::kQueued);
  wire::AppendTextItem(reply.buffer, wire::kTimeStampItem, QFU_WIDE("t"));
  std::vector<std::uint8_t> bytes = reply.Sent();

  EXPECT_FALSE(ParseReply(std::span(bytes).first(158), error).has_value());  // shorter than a record
  EXPECT_FALSE(ParseReply(std::span(bytes).first(159), error).has_value());  // length says more
  auto wrong_size = bytes;
  WriteU32(wrong_size, wire::kRecordSizeAt, 160);
  EXPECT_FALSE(ParseReply(wrong_size, error).has_value());
  auto overrun = bytes;
  WriteU32(overrun, wire::kStatusRecordSize + 4, 100);  // item claims more than the reply holds
  EXPECT_FALSE(ParseReply(overrun, error).has_value());
  auto stub = RecordBytes("C", 1).Sent();  // 4 bytes after the record: not even an item header
  stub.resize(163, 0);
  WriteU32(stub, wire::kLengthAt, 163);
  EXPECT_FALSE(ParseReply(stub, error).has_value());
  EXPECT_FALSE(error.empty());
}

TEST(ParseNotification, TakesExactlyOneStatusRecord) {
  std::string error;
  const auto record = RecordBytes("Client", wire::kDownloadRetry, 12029, 5).Sent();
  const auto parsed = ParseNotification(record, error);
  ASSERT_TRUE(parsed.has_value()) << error;
  EXPECT_EQ(parsed->status, wire::kDownloadRetry);
  EXPECT_EQ(parsed->system_error, 12029u);

  auto longer = record;
  longer.push_back(0);
  EXPECT_FALSE(ParseNotification(longer, error).has_value());
  auto wrong_length = record;
  WriteU32(wrong_length, wire::kLengthAt, 167);
  EXPECT_FALSE(ParseNotification(wrong_length, error).has_value());
  EXPECT_FALSE(ParseNotification(std::span(record).first(10), error).has_value());
}

TEST(JsonString, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("l1\nl2\r\t\b\f"), "\"l1\\nl2\\r\\t\\b\\f\"");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(JsonString("\xC2\x85"), "\"\\u0085\"");                 // C1 control (NEL)
  EXPECT_EQ(JsonString("a\xE2\x80\xA8z"), "\"a\\u2028z\"");         // line separator
  EXPECT_EQ(JsonString("Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80"), "\"Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80\"");
  EXPECT_EQ(JsonString("bad\xFF"), "\"bad\xEF\xBF\xBD\"");           // invalid UTF-8 -> U+FFFD
}

TEST(StatusLine, ShowsTimeRequestStatusAndSystemError) {
  std::string error;
  const auto downloading = ParseNotification(RecordBytes("Client", wire::kDownloading, 0, 26).Sent(), error);
  EXPECT_EQ(FormatStatusLine(*downloading, kTime), "2024-05-01 09:05:03 Client:26 Downloading (3) system error 0\n");
  const auto failed = ParseNotification(RecordBytes("Pkg", wire::kVerificationFailed, 0x800B0100).Sent(), error);
  EXPECT_EQ(FormatStatusLine(*failed, kTime),
            "2024-05-01 09:05:03 Pkg VerificationFailed (0x80000006) system error 0x800B0100\n");
  const auto odd = ParseNotification(RecordBytes("a\nb", wire::kPostponed).Sent(), error);
  EXPECT_EQ(FormatStatusLine(*odd, kTime), "2024-05-01 09:05:03 a\\x0Ab Postponed (9) system error 0\n");
}

TEST(StatusJson, IsOneObjectPerLineWithEscapedTexts) {
  std::string error;
  RecordBytes bytes("Cl\"i\\ent\n", wire::kDownloadRetry, 12029, 5);
  (void)WriteFieldText(bytes.record.ui_name_field(), "Tab\there");
  const auto record = ParseNotification(bytes.Sent(), error);
  EXPECT_EQ(FormatStatusJson(*record, kTime),
            "{\"time\":\"2024-05-01T09:05:03.007\",\"result\":0,\"result_name\":\"Done\",\"status\":2147483652,"
            "\"status_name\":\"DownloadRetry\",\"name\":\"Cl\\\"i\\\\ent\\n\",\"instance\":5,"
            "\"ui_name\":\"Tab\\there\",\"version\":\"\",\"system_error_code\":12029}\n");
}

}  // namespace
}  // namespace qfu::ctl
