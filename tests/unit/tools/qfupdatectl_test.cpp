// qfupdatectl's portable part: the message its command line builds, and how it reads and
// prints what the agent sends back.
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "common/utf.h"
#include "qfupdatectl/command_line.h"
#include "qfupdatectl/status_format.h"
#include "support/message_bytes.h"
#include "support/test_messages.h"

namespace qfu::ctl {
namespace {

using Arguments = std::vector<std::string>;
using wire::MessageWriter;
using wire::RequestMessage;

// The words of a command line; none of them holds a space.
Arguments Words(const std::string& line) {
  Arguments words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::vector<std::uint8_t> MessageOf(const Arguments& arguments) {
  const ParseOutcome outcome = ParseCommandLine(arguments);
  EXPECT_TRUE(outcome.command_line.has_value()) << arguments[0] << ": " << outcome.error;
  return outcome.command_line ? outcome.command_line->message : std::vector<std::uint8_t>();
}

TEST(SubmitOptions, PutEveryValueInItsFieldAndTheItemsInOrderAfterTheHeader) {
  const Arguments arguments = Words(
      "submit Client --instance 0x1A --display-name Quillfern --version 4.3.2.1 --product-kind 9999 --url "
      "https://h/p.msi --args REBOOT=R --prompt Install? --sha256 " +
      std::string(64, 'F') +
      " --start 2024-02-29T23:05 --window 22:30-6:15 --random-delay 5-60 --postpone 30 --deadline 1440 "
      "--skip-publisher-check");
  auto expected =
      test::StartingAt(MessageWriter().Name("Client").Instance(26), {2024, 2, 0, 29, 23, 5, 0, 0});
  expected.UiName("Quillfern").Version("4.3.2.1");
  expected.AddFlags(wire::flags::kInstallWindow | wire::flags::kSkipPublisherCheck);
  expected.U32(wire::kProductKindAt, 9999).U32(wire::kRandomDelayMinAt, 5).U32(wire::kRandomDelayMaxAt, 60);
  expected.U16(wire::kWindowStartHourAt, 22).U16(wire::kWindowStartMinuteAt, 30);
  expected.U16(wire::kWindowEndHourAt, 6).U16(wire::kWindowEndMinuteAt, 15);
  expected.U32(wire::kPostponeIntervalAt, 30).U32(wire::kDeadlineAt, 1440);
  expected.TextItem(wire::kPackageUrlItem, "https://h/p.msi")
      .TextItem(wire::kInstallerArgumentsItem, "REBOOT=R");
  expected.TextItem(wire::kPromptTextItem, "Install?")
      .TextItem(wire::kPackageDigestItem, std::string(64, 'F'));
  EXPECT_EQ(MessageOf(arguments), expected.bytes());
  // Without --args the installer arguments item is there, empty; raw flags merge with named
  // ones; --instance 0 still marks the instance number as present.
  auto plain =
      MessageWriter().Name("C").Flags(wire::RequestFlags{0x1088}).TextItem(wire::kPackageUrlItem, "u");
  EXPECT_EQ(MessageOf(Words("submit C --url u --flags 0x1000 --pop1 --instance 0")),
            plain.TextItem(wire::kInstallerArgumentsItem, "").bytes());
}

TEST(CommandLineOptions, RefuseMalformedValuesTextsTooLongForTheirFieldsAndWhatDoesNotApply) {
  std::string umlauts;  // 18 two-byte characters: 36 bytes of UTF-8
  for (int i = 0; i < 18; ++i) umlauts += "\xC3\xBC";
  const struct {
    Arguments arguments;
    bool accepted = false;
  } rows[] = {
      {.arguments = Words("submit C")},  // no URL
      {.arguments = {"submit", "", "--url", "u"}},
      {.arguments = Words("submit C --url u --start 2023-02-29T10:00")},  // not a leap year
      {.arguments = Words("submit C --url u --start 2024-01-01T10:00x")},
      {.arguments = Words("submit C --url u --window 09:00-24:00")},
      {.arguments = Words("submit C --url u --random-delay 60-5")},
      {.arguments = Words("submit C --url u --postpone -1")},
      {.arguments = Words("submit C --url u --version 1.2.3.4294967296")},
      {.arguments = {"submit", std::string(36, 'n'), "--url", "u"}, .accepted = true},
      {.arguments = {"submit", std::string(37, 'n'), "--url", "u"}},
      {.arguments = {"submit", umlauts, "--url", "u"}, .accepted = true},
      {.arguments = {"submit", umlauts + "a", "--url", "u"}},  // sizes count bytes of UTF-8
      {.arguments = Words("submit C --url u --version 65535.65535.10.12"), .accepted = true},
      {.arguments = Words("submit C --url u --version 65535.65535.100.12")},
      {.arguments = {"submit", "C", "--url", "u", "--prompt", std::string(kMaxPromptUnits + 1, 'p')}},
      {.arguments = {"submit", "C", "--url", "u", "--sha256", std::string(64, 'g')}},
      {.arguments = {"user-agent", std::string(kMaxUserAgentUnits, 'a')}, .accepted = true},
      {.arguments = {"user-agent", std::string(kMaxUserAgentUnits + 1, 'a')}},
      {.arguments = {"submit", "C", "--url",
                     std::string(wire::kMaxMessageSize, 'u')}},  // the agent refuses it
      {.arguments = Words("query a:b")},
      {.arguments = Words("cancel * --instance 1")},
      {.arguments = Words("list --url u")},
      {.arguments = Words("list --json --json")},
      {.arguments = Words("query C --timeout")},
  };
  for (const auto& row : rows) {
    const ParseOutcome outcome = ParseCommandLine(row.arguments);
    const std::string shown = row.arguments[0] + " " + row.arguments.back().substr(0, 20);
    EXPECT_EQ(std::pair(outcome.command_line.has_value(), outcome.error.empty()),
              std::pair(row.accepted, row.accepted))
        << shown;
  }
}

TEST(ParseNumber, ReadsDecimalAndHexadecimalUpTo32Bits) {
  EXPECT_EQ(ParseNumber("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseNumber("0X1a"), 26u);
  for (const char* bad : {"", "0x", "4294967296", "0x100000000", "-1", "+1", "12a", " 1", "0x-1", "ff"})
    EXPECT_FALSE(ParseNumber(bad).has_value()) << bad;
}

TEST(ParseReply, RefusesSizesThatDisagreeWithTheBytesReceived) {
  auto reply = test::StatusReply("Client", wire::kQueued);
  wire::AppendTextItem(reply.bytes, wire::kTimeStampItem, QFU_WIDE("t"));
  const std::vector<std::uint8_t> bytes = reply.Sent();
  std::string error;
  EXPECT_TRUE(ParseReply(bytes, error).has_value()) << error;
  for (const auto& sent :
       {test::Resized(bytes, 158), test::Resized(bytes, 159), test::Patched(bytes, wire::kRecordSizeAt, 160),
        test::Patched(bytes, wire::kStatusRecordSize + 4, 100),  // item past the reply
        test::Patched(test::Resized(bytes, 163), wire::kLengthAt, 163)}) {
    EXPECT_FALSE(ParseReply(sent, error).has_value()) << sent.size();
  }
  EXPECT_FALSE(ParseNotification(bytes, error).has_value());  // exactly one record, nothing after
}

TEST(StatusJson, IsOneObjectPerLineWithEscapedTexts) {
  constexpr LocalTime kTime{2024, 5, 1, 9, 5, 3, 7};
  std::string error;
  auto bytes = test::StatusReply("Cl\"i\\ent\n", wire::kDownloadRetry, 12029, 5);
  (void)WriteFieldText(bytes.record().ui_name_field(), "Tab\there\x7F\xC2\x85\xFF");
  const auto record = ParseNotification(bytes.Sent(), error);
  ASSERT_TRUE(record.has_value()) << error;
  EXPECT_EQ(
      FormatStatusJson(*record, kTime),
      "{\"time\":\"2024-05-01T09:05:03.007\",\"result\":0,\"result_name\":\"Done\",\"status\":2147483652,"
      "\"status_name\":\"DownloadRetry\",\"name\":\"Cl\\\"i\\\\ent\\n\",\"instance\":5,"
      "\"ui_name\":\"Tab\\there\\u007f\\u0085\xEF\xBF\xBD\",\"version\":\"\",\"system_error_code\":12029}\n");
  EXPECT_EQ(FormatStatusLine(*record, kTime),
            "2024-05-01 09:05:03 Cl\"i\\ent\\x0A:5 DownloadRetry (0x80000004) system error 12029\n");
}

}  // namespace
}  // namespace qfu::ctl
