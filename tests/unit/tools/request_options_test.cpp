#include "qfupdatectl/request_options.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/utf.h"
#include "support/command_lines.h"
#include "support/test_messages.h"
#include "wire/pipes.h"

namespace qfu::ctl {
namespace {

using test::Arguments;
using test::MessageOf;
using test::Submit;
using wire::MessageWriter;
using wire::RequestMessage;

TEST(SubmitOptions, PutEveryValueInItsFieldAndTheItemsInOrderAfterTheHeader) {
  const ParseOutcome outcome = ParseCommandLine(Arguments{"submit",
                                                          "Client",
                                                          "--instance",
                                                          "0x1A",
                                                          "--display-name",
                                                          "Quillfern Client",
                                                          "--version",
                                                          "4.3.2.1",
                                                          "--product-kind",
                                                          "9999",
                                                          "--url",
                                                          "https://h/p.msi",
                                                          "--args",
                                                          "REBOOT=R",
                                                          "--prompt",
                                                          "Install now?",
                                                          "--sha256",
                                                          std::string(64, 'F'),
                                                          "--start",
                                                          "2024-02-29 23:05",
                                                          "--window",
                                                          "22:30-6:15",
                                                          "--random-delay",
                                                          "5-60",
                                                          "--postpone",
                                                          "30",
                                                          "--deadline",
                                                          "1440",
                                                          "--skip-publisher-check"});
  ASSERT_TRUE(outcome.command_line.has_value()) << outcome.error;
  EXPECT_EQ(outcome.command_line->command, Command::kSubmit);
  EXPECT_EQ(outcome.command_line->pipe, WideToUtf8(wire::kRequestPipeName));
  auto expected =
      test::StartingAt(MessageWriter().Name("Client").Instance(26), {2024, 2, 0, 29, 23, 5, 0, 0});
  expected.UiName("Quillfern Client").Version("4.3.2.1");
  expected.AddFlags(wire::flags::kInstallWindow | wire::flags::kSkipPublisherCheck);
  expected.U32(wire::kProductKindAt, 9999).U32(wire::kRandomDelayMinAt, 5).U32(wire::kRandomDelayMaxAt, 60);
  expected.U16(wire::kWindowStartHourAt, 22).U16(wire::kWindowStartMinuteAt, 30);
  expected.U16(wire::kWindowEndHourAt, 6).U16(wire::kWindowEndMinuteAt, 15);
  expected.U32(wire::kPostponeIntervalAt, 30).U32(wire::kDeadlineAt, 1440);
  expected.TextItem(wire::kPackageUrlItem, "https://h/p.msi")
      .TextItem(wire::kInstallerArgumentsItem, "REBOOT=R");
  expected.TextItem(wire::kPromptTextItem, "Install now?")
      .TextItem(wire::kPackageDigestItem, std::string(64, 'F'));
  EXPECT_EQ(outcome.command_line->message, expected.bytes());
}

TEST(SubmitOptions, DefaultToEmptyArgumentsAndNoOptionalFields) {
  const ParseOutcome outcome = ParseCommandLine(Arguments{"submit", "Client", "--url", "http://h/p.msi"});
  ASSERT_TRUE(outcome.command_line.has_value()) << outcome.error;
  EXPECT_EQ(outcome.command_line->timeout_seconds, kDefaultReplyTimeoutSeconds);
  auto expected = MessageWriter().Name("Client").TextItem(wire::kPackageUrlItem, "http://h/p.msi");
  expected.TextItem(wire::kInstallerArgumentsItem, "");
  EXPECT_EQ(outcome.command_line->message, expected.bytes());
  // --instance 0 still marks the instance number as present.
  EXPECT_EQ(RequestMessage(MessageOf(Submit({"--instance", "0"}))).flags(), wire::flags::kDryRun);
}

TEST(SubmitOptions, SetEachRequestFlagByNameAndMergeRawFlags) {
  const std::pair<const char*, std::uint32_t> switches[] = {
      {"--no-prompts", 0x1},
      {"--no-download-on-pop3", 0x2},
      {"--download-when-disconnected", 0x4},
      {"--dry-run", 0x8},
      {"--force-install", 0x20},
      {"--pop1", 0x80},
      {"--pop2", 0x100},
      {"--pop3", 0x200},
      {"--no-install-while-logged-on", 0x400},
      {"--skip-publisher-check", 0x800},
  };
  for (const auto& [name, flag] : switches) {
    EXPECT_EQ(RequestMessage(MessageOf(Submit({name}))).flags(), flag) << name;
  }
  EXPECT_EQ(RequestMessage(MessageOf(Submit({"--flags", "0x1000", "--pop1"}))).flags(), 0x1080u);
  EXPECT_EQ(RequestMessage(MessageOf(Submit({"--flags=4096"}))).flags(), 0x1000u);
}

TEST(CommandLineOptions, RefuseMalformedValuesTextsTooLongForTheirFieldsAndWhatDoesNotApply) {
  std::string umlauts;  // 18 two-byte characters: 36 bytes of UTF-8
  for (int i = 0; i < 18; ++i) umlauts += "\xC3\xBC";
  const std::pair<Arguments, bool> cases[] = {
      // arguments, accepted
      {{"submit", "C"}, false},  // no URL
      {{"submit", "C", "--url", ""}, false},
      {{"submit", "", "--url", "u"}, false},
      {Submit({"--start", "2023-02-29 10:00"}), false},  // not a leap year
      {Submit({"--start", "2024-01-01"}), false},
      {Submit({"--start", "2024-01-01 10:00x"}), false},
      {Submit({"--window", "9:00"}), false},
      {Submit({"--window", "09:00-24:00"}), false},
      {Submit({"--window", "22:00-06:60"}), false},
      {Submit({"--random-delay", "60-5"}), false},
      {Submit({"--random-delay", "5"}), false},
      {Submit({"--postpone", "-1"}), false},
      {Submit({"--instance", "1.5"}), false},
      {Submit({"--version", "1.2.3"}), false},
      {Submit({"--version", "1.2.3.4294967296"}), false},
      // Texts are refused instead of cut; sizes count bytes of UTF-8.
      {{"submit", std::string(36, 'n'), "--url", "u"}, true},
      {{"submit", std::string(37, 'n'), "--url", "u"}, false},
      {{"submit", umlauts, "--url", "u"}, true},
      {{"submit", umlauts + "a", "--url", "u"}, false},
      {Submit({"--display-name", std::string(79, 'd')}), true},
      {Submit({"--display-name", std::string(80, 'd')}), false},
      {Submit({"--version", "65535.65535.10.12"}), true},
      {Submit({"--version", "65535.65535.100.12"}), false},
      {Submit({"--prompt", std::string(kMaxPromptUnits, 'p')}), true},
      {Submit({"--prompt", std::string(kMaxPromptUnits + 1, 'p')}), false},
      {Submit({"--sha256", std::string(63, 'a')}), false},
      {Submit({"--sha256", std::string(64, 'g')}), false},
      {{"user-agent", std::string(kMaxUserAgentUnits, 'a')}, true},
      {{"user-agent", std::string(kMaxUserAgentUnits + 1, 'a')}, false},
      {{"user-agent", ""}, false},
      {{"submit", "C", "--url", std::string(wire::kMaxMessageSize, 'u')},
       false},  // the agent would refuse it
      {{"query", std::string(37, 'n')}, false},
      {{"query", "a:b"}, false},
      {{"query", ":5"}, false},
      {{"cancel", "*", "--instance", "1"}, false},
      {{}, false},
      {{"frobnicate"}, false},
      {{"list", "--colour"}, false},
      {{"list", "--url", "u"}, false},
      {{"query", "C", "--count", "1"}, false},
      {{"list", "--json", "--json"}, false},
      {{"query"}, false},
      {{"query", "a", "b"}, false},
      {{"query", "C", "--timeout"}, false},
  };
  for (const auto& [arguments, accepted] : cases) {
    const ParseOutcome outcome = ParseCommandLine(arguments);
    const std::string shown = arguments.empty() ? "" : arguments[0] + " " + arguments.back().substr(0, 20);
    EXPECT_EQ(outcome.command_line.has_value(), accepted) << shown;
    EXPECT_EQ(outcome.error.empty(), accepted) << shown;
    if (outcome.command_line && !outcome.command_line->message.empty()) {
      EXPECT_TRUE(wire::PassesFramingCheck(outcome.command_line->message)) << shown;
    }
  }
  const ParseOutcome version = ParseCommandLine(Submit({"--version", "65535.65535.100.12"}));
  EXPECT_NE(version.error.find("at most 17"), std::string::npos) << version.error;
  const ParseOutcome help = ParseCommandLine(Arguments{"--help"});
  EXPECT_TRUE(help.command_line && help.command_line->command == Command::kHelp);
}

TEST(RequestIdentity, TakesTheInstanceAfterAColonOrFromInstanceOption) {
  // Arguments, name, flags, instance.
  const std::tuple<Arguments, std::string_view, std::uint32_t, std::uint32_t> cases[] = {
      {{"query", "Client"}, "Client", 0, 0},
      {{"query", "Client:26"}, "Client", 0x8, 26},
      {{"query", "Client:0x1A"}, "Client", 0x8, 26},
      {{"cancel", "Client:0"}, "Client", 0x8, 0},
      {{"cancel", "a:b", "--instance", "7"}, "a:b", 0x8, 7},
      {{"cancel", "*"}, "*", 0, 0},
      {{"query", "--", "--odd"}, "--odd", 0, 0},  // after "--" every argument is an operand
  };
  for (const auto& [arguments, name, flags, instance] : cases) {
    const auto message = MessageOf(arguments);
    const RequestMessage m(message);
    EXPECT_EQ(m.type(), arguments[0] == "query" ? wire::kQueryRequest : wire::kCancelRequest);
    EXPECT_EQ(m.request_name(), name);
    EXPECT_EQ(m.flags(), flags) << arguments[1];
    EXPECT_EQ(m.U32(wire::kInstanceNumberAt), instance) << arguments[1];
    EXPECT_EQ(message.size(), wire::kHeaderSize);
  }
}

TEST(ParseNumber, ReadsDecimalAndHexadecimalUpTo32Bits) {
  EXPECT_EQ(ParseNumber("0"), 0u);
  EXPECT_EQ(ParseNumber("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseNumber("0xFFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseNumber("0X1a"), 26u);
  for (const char* bad :
       {"", "0x", "4294967296", "0x100000000", "-1", "+1", "12a", " 1", "1 ", "0x-1", "ff"}) {
    EXPECT_FALSE(ParseNumber(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace qfu::ctl
