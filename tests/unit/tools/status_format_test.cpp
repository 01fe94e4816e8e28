#include "qfupdatectl/status_format.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/utf.h"
#include "support/message_bytes.h"
#include "support/test_messages.h"
#include "wire/update_status.h"

namespace qfu::ctl {
namespace {

using test::StatusReply;
constexpr LocalTime kTime{2024, 5, 1, 9, 5, 3, 7};

TEST(ParseReply, ReadsTheRecordAndATimeStampItemEvenAnEmptyOneForTheReplyText) {
  auto reply = StatusReply("Client", wire::kDownloading, 0, 26);
  (void)WriteFieldText(reply.record().ui_name_field(), "Test Software");
  (void)WriteFieldText(reply.record().software_version_field(), "1.2.3.4");
  wire::AppendTextItem(reply.bytes, wire::kTimeStampItem, QFU_WIDE("01.05.2024 09:00:00"));
  std::string error;
  const auto parsed = ParseReply(reply.Sent(), error);
  ASSERT_TRUE(parsed.has_value()) << error;
  EXPECT_EQ(
      FormatReplyText(*parsed, 3),
      "index:        3\nresult:       Done (0)\nstatus:       Downloading (3)\nrequest:      Client:26\n"
      "display name: Test Software\nversion:      1.2.3.4\nsystem error: 0\ntime stamp:   01.05.2024 "
      "09:00:00\n");
  // A time stamp too long for the reply arrives as an empty item: present, but empty.
  auto cut = StatusReply("Client", wire::kQueued);
  wire::AppendTextItem(cut.bytes, wire::kTimeStampItem, WideString(70, QFU_WIDE('x')));
  const auto parsed_cut = ParseReply(cut.Sent(), error);
  EXPECT_TRUE(parsed_cut && parsed_cut->time_stamp == "");
  const auto plain = ParseReply(StatusReply("Client", wire::kQueued).Sent(), error);
  EXPECT_TRUE(plain && !plain->time_stamp.has_value());
}

TEST(ParseReply, RefusesSizesThatDisagreeWithTheBytesReceived) {
  auto reply = StatusReply("Client", wire::kQueued);
  wire::AppendTextItem(reply.bytes, wire::kTimeStampItem, QFU_WIDE("t"));
  const std::vector<std::uint8_t> bytes = reply.Sent();
  const std::vector<std::uint8_t> refused[] = {
      test::Resized(bytes, 158),                               // shorter than a record
      test::Resized(bytes, 159),                               // its length says more
      test::Patched(bytes, wire::kRecordSizeAt, 160),          // another record size
      test::Patched(bytes, wire::kStatusRecordSize + 4, 100),  // item claims more than the reply holds
      test::Patched(test::Resized(bytes, 163), wire::kLengthAt,
                    163),  // 4 bytes after the record: no item header
  };
  for (const auto& sent : refused) {
    std::string error;
    EXPECT_FALSE(ParseReply(sent, error).has_value()) << sent.size();
    EXPECT_FALSE(error.empty());
  }
}

TEST(ParseNotification, TakesExactlyOneStatusRecord) {
  std::string error;
  const auto record = StatusReply("Client", wire::kDownloadRetry, 12029, 5).Sent();
  EXPECT_TRUE(ParseNotification(record, error).has_value()) << error;  // its fields: StatusLine, StatusJson
  EXPECT_FALSE(ParseNotification(test::Resized(record, record.size() + 1), error).has_value());
  EXPECT_FALSE(ParseNotification(test::Patched(record, wire::kLengthAt, 167), error).has_value());
}

TEST(JsonString, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(JsonString("l1\nl2\r\t\b\f"), "\"l1\\nl2\\r\\t\\b\\f\"");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(JsonString("\xC2\x85"), "\"\\u0085\"");          // C1 control (NEL)
  EXPECT_EQ(JsonString("a\xE2\x80\xA8z"), "\"a\\u2028z\"");  // line separator
  EXPECT_EQ(JsonString("Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80"), "\"Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80\"");
  EXPECT_EQ(JsonString("bad\xFF"), "\"bad\xEF\xBF\xBD\"");  // invalid UTF-8 -> U+FFFD
}

TEST(StatusLine, ShowsTimeRequestStatusAndSystemError) {
  std::string error;
  const auto downloading = ParseNotification(StatusReply("Client", wire::kDownloading, 0, 26).Sent(), error);
  EXPECT_EQ(FormatStatusLine(*downloading, kTime),
            "2024-05-01 09:05:03 Client:26 Downloading (3) system error 0\n");
  const auto failed =
      ParseNotification(StatusReply("Pkg", wire::kVerificationFailed, 0x800B0100).Sent(), error);
  EXPECT_EQ(FormatStatusLine(*failed, kTime),
            "2024-05-01 09:05:03 Pkg VerificationFailed (0x80000006) system error 0x800B0100\n");
  const auto odd = ParseNotification(StatusReply("a\nb", wire::kPostponed).Sent(), error);
  EXPECT_EQ(FormatStatusLine(*odd, kTime), "2024-05-01 09:05:03 a\\x0Ab Postponed (9) system error 0\n");
}

TEST(StatusJson, IsOneObjectPerLineWithEscapedTexts) {
  std::string error;
  auto bytes = StatusReply("Cl\"i\\ent\n", wire::kDownloadRetry, 12029, 5);
  (void)WriteFieldText(bytes.record().ui_name_field(), "Tab\there");
  const auto record = ParseNotification(bytes.Sent(), error);
  EXPECT_EQ(
      FormatStatusJson(*record, kTime),
      "{\"time\":\"2024-05-01T09:05:03.007\",\"result\":0,\"result_name\":\"Done\",\"status\":2147483652,"
      "\"status_name\":\"DownloadRetry\",\"name\":\"Cl\\\"i\\\\ent\\n\",\"instance\":5,"
      "\"ui_name\":\"Tab\\there\",\"version\":\"\",\"system_error_code\":12029}\n");
}

}  // namespace
}  // namespace qfu::ctl
