#include "qfupdatectl/request_options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/utf.h"
#include "wire/message.h"
#include "wire/pipes.h"

namespace qfu::ctl {
namespace {

using wire::RequestMessage;

ParseOutcome Parse(std::initializer_list<std::string> arguments) {
  const std::vector<std::string> list(arguments);
  return ParseCommandLine(list);
}

// Parses arguments that must be accepted and returns the command line.
CommandLine Accept(std::initializer_list<std::string> arguments) {
  ParseOutcome outcome = Parse(arguments);
  EXPECT_TRUE(outcome.command_line.has_value()) << outcome.error;
  if (!outcome.command_line) return {};
  EXPECT_TRUE(wire::PassesFramingCheck(outcome.command_line->message) || outcome.command_line->message.empty());
  return *outcome.command_line;
}

std::string ItemString(const std::vector<std::uint8_t>& message, std::uint32_t type) {
  const auto item = wire::FindItem(message, type);
  return item ? std::string(item->data.begin(), item->data.end()) : "<none>";
}

TEST(SubmitOptions, PutEveryFieldAtItsOffsetAndTheItemsAfterTheHeader) {
  const CommandLine line = Accept({"submit", "Client", "--instance", "0x1A", "--display-name", "Quillfern Client",
                                   "--version", "4.3.2.1", "--product-kind", "9999", "--url", "https://h/p.msi",
                                   "--args", "REBOOT=R", "--prompt", "Install now?", "--start", "2024-02-29 23:05",
                                   "--window", "22:30-6:15", "--random-delay", "5-60", "--postpone", "30",
                                   "--deadline", "1440", "--skip-publisher-check"});
  EXPECT_EQ(line.command, Command::kSubmit);
  EXPECT_EQ(line.pipe, WideToUtf8(wire::kRequestPipeName));
  const RequestMessage m(line.message);
  EXPECT_EQ(m.items_offset(), wire::kHeaderSize);
  EXPECT_EQ(m.items_end(), line.message.size());
  EXPECT_EQ(m.type(), wire::kSubmitRequest);
  EXPECT_EQ(m.flags(), wire::flags::kDryRun | wire::flags::kStartTime | wire::flags::kInstallWindow |
                           wire::flags::kSkipPublisherCheck);
  EXPECT_EQ(m.product_kind(), 9999u);
  EXPECT_EQ(m.U32(wire::kRandomDelayMinAt), 5u);
  EXPECT_EQ(m.U32(wire::kRandomDelayMaxAt), 60u);
  EXPECT_EQ(m.U16(wire::kStartYearAt), 2024);
  EXPECT_EQ(m.U16(wire::kStartMonthAt), 2);
  EXPECT_EQ(m.U16(wire::kStartDayAt), 29);
  EXPECT_EQ(m.U16(wire::kStartHourAt), 23);
  EXPECT_EQ(m.U16(wire::kStartMinuteAt), 5);
  EXPECT_EQ(m.U16(wire::kReservedAt), 0);
  EXPECT_EQ(m.U16(wire::kWindowStartHourAt), 22);
  EXPECT_EQ(m.U16(wire::kWindowStartMinuteAt), 30);
  EXPECT_EQ(m.U16(wire::kWindowEndHourAt), 6);
  EXPECT_EQ(m.U16(wire::kWindowEndMinuteAt), 15);
  EXPECT_EQ(m.U32(wire::kPostponeIntervalAt), 30u);
  EXPECT_EQ(m.U32(wire::kDeadlineAt), 1440u);
  EXPECT_EQ(m.instance_number(), 0x1Au);
  EXPECT_EQ(m.request_name(), "Client");
  EXPECT_EQ(m.ui_name(), "Quillfern Client");
  EXPECT_EQ(m.software_version(), "4.3.2.1");
  // Each item is the text with its NUL, in the order URL, arguments, prompt.
  EXPECT_EQ(ItemString(line.message, wire::kPackageUrlItem), std::string("https://h/p.msi", 16));
  EXPECT_EQ(ItemString(line.message, wire::kInstallerArgumentsItem), std::string("REBOOT=R", 9));
  EXPECT_EQ(ItemString(line.message, wire::kPromptTextItem), std::string("Install now?", 13));
  EXPECT_EQ(ReadU32(line.message, wire::kHeaderSize), wire::kPackageUrlItem);
}

TEST(SubmitOptions, DefaultToEmptyArgumentsAndNoOptionalFields) {
  const CommandLine line = Accept({"submit", "Client", "--url", "http://h/p.msi"});
  const RequestMessage m(line.message);
  EXPECT_EQ(m.flags(), 0u);
  EXPECT_EQ(m.instance_number(), 0u);
  EXPECT_EQ(m.U32(wire::kInstanceNumberAt), 0u);
  EXPECT_EQ(m.ui_name(), "");
  EXPECT_EQ(ItemString(line.message, wire::kInstallerArgumentsItem), std::string(1, '\0'));
  EXPECT_EQ(ItemString(line.message, wire::kPromptTextItem), "<none>");
  EXPECT_EQ(line.timeout_seconds, kDefaultReplyTimeoutSeconds);
  // --instance 0 still marks the instance number as present.
  EXPECT_EQ(RequestMessage(Accept({"submit", "C", "--url", "u", "--instance", "0"}).message).flags(),
            wire::flags::kDryRun);
}

TEST(SubmitOptions, SetEachRequestFlagByNameAndMergeRawFlags) {
  const std::pair<const char*, std::uint32_t> switches[] = {
      {"--no-prompts", 0x1},     {"--no-download-on-pop3", 0x2}, {"--download-when-disconnected", 0x4},
      {"--dry-run", 0x8},        {"--force-install", 0x20},      {"--pop1", 0x80},
      {"--pop2", 0x100},         {"--pop3", 0x200},              {"--no-install-while-logged-on", 0x400},
      {"--skip-publisher-check", 0x800},
  };
  for (const auto& [name, flag] : switches) {
    EXPECT_EQ(RequestMessage(Accept({"submit", "C", "--url", "u", name}).message).flags(), flag) << name;
  }
  EXPECT_EQ(RequestMessage(Accept({"submit", "C", "--url", "u", "--flags", "0x1000", "--pop1"}).message).flags(),
            0x1080u);
  EXPECT_EQ(RequestMessage(Accept({"submit", "C", "--url", "u", "--flags=4096"}).message).flags(), 0x1000u);
}

TEST(SubmitOptions, RefuseMalformedValuesAndAMissingUrl) {
  const std::initializer_list<std::string> refused[] = {
      {"submit", "C"},
      {"submit", "C", "--url", ""},
      {"submit", "C", "--url", "u", "--start", "2023-02-29 10:00"},  // not a leap year
      {"submit", "C", "--url", "u", "--start", "2024-04-31 10:00"},
      {"submit", "C", "--url", "u", "--start", "2024-01-01 24:00"},
      {"submit", "C", "--url", "u", "--start", "2024-01-01"},
      {"submit", "C", "--url", "u", "--start", "2024-01-01 10:00x"},
      {"submit", "C", "--url", "u", "--window", "9:00"},
      {"submit", "C", "--url", "u", "--window", "09:00-24:00"},
      {"submit", "C", "--url", "u", "--random-delay", "60-5"},
      {"submit", "C", "--url", "u", "--random-delay", "5"},
      {"submit", "C", "--url", "u", "--postpone", "-1"},
      {"submit", "C", "--url", "u", "--deadline", "4294967296"},
      {"submit", "C", "--url", "u", "--instance", "1.5"},
      {"submit", "C", "--url", "u", "--version", "1.2.3"},
      {"submit", "C", "--url", "u", "--version", "1.2.3.4294967296"},
      {"submit", "", "--url", "u"},
  };
  for (const auto& arguments : refused) {
    const ParseOutcome outcome = Parse(arguments);
    EXPECT_FALSE(outcome.command_line.has_value()) << *(arguments.begin() + 2);
    EXPECT_FALSE(outcome.error.empty());
  }
}

TEST(SubmitOptions, RefuseTextsThatDoNotFitTheirFieldsInsteadOfCuttingThem) {
  for (const std::size_t size : {36, 37}) {
    EXPECT_EQ(Parse({"submit", std::string(size, 'n'), "--url", "u"}).command_line.has_value(), size == 36);
  }
  for (const std::size_t size : {79, 80}) {
    const ParseOutcome outcome = Parse({"submit", "C", "--url", "u", "--display-name", std::string(size, 'd')});
    EXPECT_EQ(outcome.command_line.has_value(), size == 79);
  }
  // Sizes count bytes of UTF-8: 18 two-byte characters are 36 bytes, one more is too many.
  std::string umlauts;
  for (int i = 0; i < 18; ++i) umlauts += "\xC3\xBC";
  EXPECT_TRUE(Parse({"submit", umlauts, "--url", "u"}).command_line.has_value());
  EXPECT_FALSE(Parse({"submit", umlauts + "a", "--url", "u"}).command_line.has_value());
  // The version field holds 17 bytes.
  EXPECT_TRUE(Parse({"submit", "C", "--url", "u", "--version", "65535.65535.1.12"}).command_line.has_value());
  EXPECT_TRUE(Parse({"submit", "C", "--url", "u", "--version", "65535.65535.10.12"}).command_line.has_value());
  const ParseOutcome version = Parse({"submit", "C", "--url", "u", "--version", "65535.65535.100.12"});
  EXPECT_FALSE(version.command_line.has_value());
  EXPECT_NE(version.error.find("at most 17"), std::string::npos) << version.error;
  // The prompt shows 511 characters and the user agent keeps 259.
  EXPECT_TRUE(Parse({"submit", "C", "--url", "u", "--prompt", std::string(511, 'p')}).command_line.has_value());
  EXPECT_FALSE(Parse({"submit", "C", "--url", "u", "--prompt", std::string(512, 'p')}).command_line.has_value());
  EXPECT_TRUE(Parse({"user-agent", std::string(259, 'a')}).command_line.has_value());
  EXPECT_FALSE(Parse({"user-agent", std::string(260, 'a')}).command_line.has_value());
  EXPECT_FALSE(Parse({"user-agent", ""}).command_line.has_value());
  // A message the agent would refuse for its size is refused here.
  EXPECT_FALSE(Parse({"submit", "C", "--url", std::string(wire::kMaxMessageSize, 'u')}).command_line.has_value());
}

TEST(RequestIdentity, TakesTheInstanceAfterAColonOrFromInstanceOption) {
  struct Case {
    std::vector<std::string> arguments;
    std::string_view name;
    std::uint32_t flags;
    std::uint32_t instance;
  };
  const Case cases[] = {
      {{"query", "Client"}, "Client", 0, 0},
      {{"query", "Client:26"}, "Client", 0x8, 26},
      {{"query", "Client:0x1A"}, "Client", 0x8, 26},
      {{"cancel", "Client:0"}, "Client", 0x8, 0},
      {{"cancel", "a:b", "--instance", "7"}, "a:b", 0x8, 7},
      {{"cancel", "*"}, "*", 0, 0},
  };
  for (const Case& c : cases) {
    const ParseOutcome outcome = ParseCommandLine(c.arguments);
    ASSERT_TRUE(outcome.command_line.has_value()) << c.arguments[1] << ": " << outcome.error;
    const RequestMessage m(outcome.command_line->message);
    EXPECT_EQ(m.type(), c.arguments[0] == "query" ? wire::kQueryRequest : wire::kCancelRequest);
    EXPECT_EQ(m.request_name(), c.name);
    EXPECT_EQ(m.flags(), c.flags) << c.arguments[1];
    EXPECT_EQ(m.U32(wire::kInstanceNumberAt), c.instance) << c.arguments[1];
    EXPECT_EQ(outcome.command_line->message.size(), wire::kHeaderSize);
  }
  EXPECT_FALSE(Parse({"query", "a:b"}).command_line.has_value());
  EXPECT_FALSE(Parse({"query", ":5"}).command_line.has_value());
  EXPECT_FALSE(Parse({"cancel", "*", "--instance", "1"}).command_line.has_value());
  EXPECT_FALSE(Parse({"query", std::string(37, 'n')}).command_line.has_value());
}

TEST(CommandLineOptions, RefuseWhatTheyDoNotKnowOrWhatDoesNotApply) {
  const std::initializer_list<std::string> refused[] = {
      {},
      {"frobnicate"},
      {"list", "--colour"},
      {"list", "--url", "u"},
      {"query", "C", "--count", "1"},
      {"list", "--json", "--json"},
      {"query"},
      {"query", "a", "b"},
      {"query", "C", "--timeout"},
  };
  for (const auto& arguments : refused) {
    const ParseOutcome outcome = Parse(arguments);
    EXPECT_FALSE(outcome.command_line.has_value());
    EXPECT_FALSE(outcome.error.empty());
  }
  EXPECT_EQ(Accept({"--help"}).command, Command::kHelp);
  // After "--" every argument is an operand, even one that looks like an option.
  EXPECT_EQ(RequestMessage(Accept({"query", "--", "--odd"}).message).request_name(), "--odd");
}

TEST(ParseNumber, ReadsDecimalAndHexadecimalUpTo32Bits) {
  EXPECT_EQ(ParseNumber("0"), 0u);
  EXPECT_EQ(ParseNumber("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseNumber("0xFFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseNumber("0X1a"), 26u);
  for (const char* bad : {"", "0x", "4294967296", "0x100000000", "-1", "+1", "12a", " 1", "1 ", "0x-1", "ff"}) {
    EXPECT_FALSE(ParseNumber(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace qfu::ctl
