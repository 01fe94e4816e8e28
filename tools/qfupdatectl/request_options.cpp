#include "request_options.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "common/bytes.h"
#include "common/local_time.h"
#include "common/utf.h"
#include "wire/message.h"
#include "wire/message_writer.h"
#include "wire/pipes.h"

namespace qfu::ctl {
namespace {

namespace flags = wire::flags;

constexpr unsigned Bit(Command command) { return 1u << static_cast<unsigned>(command); }
constexpr unsigned kRequestCommands = Bit(Command::kSubmit) | Bit(Command::kQuery) | Bit(Command::kList) |
                                      Bit(Command::kCancel) | Bit(Command::kPostponed) |
                                      Bit(Command::kInstallNow) | Bit(Command::kUserAgent);
constexpr unsigned kAllCommands = kRequestCommands | Bit(Command::kWatch) | Bit(Command::kHelp);

struct OptionDefinition {
  std::string_view name;
  bool takes_value;
  unsigned commands;   // the subcommands it applies to
  std::uint32_t flag;  // the request flag a switch sets, or 0
};

// Every option the tool knows. A request flag switch sets its bit; the others are read below.
constexpr OptionDefinition kOptions[] = {
    {"--pipe", true, kAllCommands, 0},
    {"--info", false, kRequestCommands, 0},
    {"--json", false, kAllCommands, 0},
    {"--timeout", true, kAllCommands, 0},
    {"--count", true, Bit(Command::kWatch), 0},
    {"--instance", true, Bit(Command::kSubmit) | Bit(Command::kQuery) | Bit(Command::kCancel), 0},
    {"--display-name", true, Bit(Command::kSubmit), 0},
    {"--version", true, Bit(Command::kSubmit), 0},
    {"--product-kind", true, Bit(Command::kSubmit), 0},
    {"--url", true, Bit(Command::kSubmit), 0},
    {"--args", true, Bit(Command::kSubmit), 0},
    {"--prompt", true, Bit(Command::kSubmit), 0},
    {"--sha256", true, Bit(Command::kSubmit), 0},
    {"--start", true, Bit(Command::kSubmit), 0},
    {"--window", true, Bit(Command::kSubmit), 0},
    {"--random-delay", true, Bit(Command::kSubmit), 0},
    {"--postpone", true, Bit(Command::kSubmit), 0},
    {"--deadline", true, Bit(Command::kSubmit), 0},
    {"--flags", true, Bit(Command::kSubmit), 0},
    {"--no-prompts", false, Bit(Command::kSubmit), flags::kNoPrompts},
    {"--no-download-on-pop3", false, Bit(Command::kSubmit), flags::kNoDownloadOnPopType3},
    {"--download-when-disconnected", false, Bit(Command::kSubmit), flags::kDownloadWhenDisconnected},
    {"--dry-run", false, Bit(Command::kSubmit), flags::kDryRun},
    {"--force-install", false, Bit(Command::kSubmit), flags::kForceInstall},
    {"--pop1", false, Bit(Command::kSubmit), flags::kAllowPopType1},
    {"--pop2", false, Bit(Command::kSubmit), flags::kAllowPopType2},
    {"--pop3", false, Bit(Command::kSubmit), flags::kAllowPopType3},
    {"--no-install-while-logged-on", false, Bit(Command::kSubmit), flags::kNoInstallWhileLoggedOn},
    {"--skip-publisher-check", false, Bit(Command::kSubmit), flags::kSkipPublisherCheck},
};

struct CommandName {
  std::string_view name;
  Command command;
  std::size_t operands;  // positional arguments after the subcommand
};
constexpr CommandName kCommands[] = {
    {"submit", Command::kSubmit, 1},
    {"query", Command::kQuery, 1},
    {"list", Command::kList, 0},
    {"cancel", Command::kCancel, 1},
    {"postponed", Command::kPostponed, 0},
    {"install-now", Command::kInstallNow, 0},
    {"user-agent", Command::kUserAgent, 1},
    {"watch", Command::kWatch, 0},
    {"help", Command::kHelp, 0},
};

// The options as given, before they are checked against the subcommand.
struct GivenOptions {
  std::vector<std::pair<const OptionDefinition*, std::string>> values;
  std::vector<std::string> operands;

  [[nodiscard]] const std::string* Find(std::string_view name) const {
    for (const auto& [option, value] : values) {
      if (option->name == name) return &value;
    }
    return nullptr;
  }
  [[nodiscard]] bool Has(std::string_view name) const { return Find(name) != nullptr; }
};

// Reads a run of 1..max_digits decimal digits at text[pos]; advances pos past them.
std::optional<std::uint32_t> ReadDigits(std::string_view text, std::size_t& pos, std::size_t min_digits,
                                        std::size_t max_digits) {
  std::uint32_t value = 0;
  std::size_t count = 0;
  while (pos < text.size() && count < max_digits && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + static_cast<std::uint32_t>(text[pos] - '0');
    ++pos;
    ++count;
  }
  if (count < min_digits) return std::nullopt;
  return value;
}

bool Expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

struct TimeOfDay {
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
};

// "H:MM" or "HH:MM", 00:00 to 23:59.
std::optional<TimeOfDay> ReadTimeOfDay(std::string_view text, std::size_t& pos) {
  const auto hour = ReadDigits(text, pos, 1, 2);
  if (!hour || !Expect(text, pos, ':')) return std::nullopt;
  const auto minute = ReadDigits(text, pos, 2, 2);
  if (!minute || *hour > 23 || *minute > 59) return std::nullopt;
  return TimeOfDay{static_cast<std::uint16_t>(*hour), static_cast<std::uint16_t>(*minute)};
}

// "YYYY-MM-DD HH:MM" (a "T" may stand for the space): a local date and time that the agent
// can schedule (the year within what Windows' system time holds, the day within its month).
std::optional<LocalDateTime> ParseStartTime(std::string_view text) {
  std::size_t pos = 0;
  const auto year = ReadDigits(text, pos, 4, 4);
  if (!year || !Expect(text, pos, '-')) return std::nullopt;
  const auto month = ReadDigits(text, pos, 1, 2);
  if (!month || !Expect(text, pos, '-')) return std::nullopt;
  const auto day = ReadDigits(text, pos, 1, 2);
  if (!day || pos >= text.size() || (text[pos] != ' ' && text[pos] != 'T')) return std::nullopt;
  ++pos;
  const auto time = ReadTimeOfDay(text, pos);
  if (!time || pos != text.size()) return std::nullopt;
  LocalDateTime start;
  start.year = static_cast<std::uint16_t>(*year);
  start.month = static_cast<std::uint16_t>(*month);
  start.day = static_cast<std::uint16_t>(*day);
  start.hour = time->hour;
  start.minute = time->minute;
  if (!IsValidLocalDateTime(start)) return std::nullopt;
  return start;
}

// "HH:MM-HH:MM".
std::optional<std::pair<TimeOfDay, TimeOfDay>> ParseWindow(std::string_view text) {
  std::size_t pos = 0;
  const auto start = ReadTimeOfDay(text, pos);
  if (!start || !Expect(text, pos, '-')) return std::nullopt;
  const auto end = ReadTimeOfDay(text, pos);
  if (!end || pos != text.size()) return std::nullopt;
  return std::pair{*start, *end};
}

// Four decimal numbers of 32 bits joined by dots.
bool IsDottedVersion(std::string_view text) {
  std::size_t parts = 0;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t dot = text.find('.', begin);
    const std::string_view part = text.substr(begin, dot == std::string_view::npos ? text.npos : dot - begin);
    if (part.empty() || part.size() > 10 || !ParseNumber(part) ||
        part.find_first_not_of("0123456789") != part.npos) {
      return false;
    }
    ++parts;
    if (dot == std::string_view::npos) break;
    begin = dot + 1;
  }
  return parts == 4;
}

// Writes text into a header field after checking that it fits with its NUL; the error names
// the field when it does not.
bool PutField(wire::MessageWriter& message, std::size_t at, std::size_t size, std::string_view what,
              std::string_view text, std::string& error) {
  if (text.size() > size - 1) {
    error = std::string(what) + " is " + std::to_string(text.size()) + " bytes of UTF-8; at most " +
            std::to_string(size - 1) + " fit";
    return false;
  }
  message.Text(at, size, text);
  return true;
}

bool PutRequestName(wire::MessageWriter& message, std::string_view name, std::string& error) {
  if (name.empty()) {
    error = "the request name is empty";
    return false;
  }
  return PutField(message, wire::kRequestNameAt, wire::kRequestNameSize, "the request name", name, error);
}

std::optional<std::uint32_t> NumberOption(const GivenOptions& given, std::string_view name,
                                          std::string& error) {
  const std::string* text = given.Find(name);
  if (!text) return std::nullopt;
  const auto value = ParseNumber(*text);
  if (!value)
    error = std::string(name) + " takes a number (decimal or 0x hexadecimal), not \"" + *text + "\"";
  return value;
}

// Identity of query and cancel: NAME, NAME:INSTANCE, or NAME with --instance.
bool PutIdentity(wire::MessageWriter& message, const GivenOptions& given, std::string& error) {
  std::string_view name = given.operands[0];
  std::optional<std::uint32_t> instance;
  if (given.Has("--instance")) {
    instance = NumberOption(given, "--instance", error);
    if (!instance) return false;
  } else if (const std::size_t colon = name.rfind(':'); colon != std::string_view::npos) {
    instance = ParseNumber(name.substr(colon + 1));
    if (!instance) {
      error = "the instance number after ':' in \"" + std::string(name) +
              "\" is not a number (use --instance N for a name that holds ':')";
      return false;
    }
    name = name.substr(0, colon);
  }
  if (!PutRequestName(message, name, error)) return false;
  if (instance) message.Instance(*instance);
  return true;
}

std::size_t Utf16Length(std::string_view utf8) { return Utf8ToWide(utf8).size(); }

bool BuildSubmit(const GivenOptions& given, wire::MessageWriter& message, std::string& error) {
  message = wire::MessageWriter(wire::kSubmitRequest);
  if (!PutRequestName(message, given.operands[0], error)) return false;

  std::uint32_t request_flags = 0;
  for (const auto& [option, value] : given.values) request_flags |= option->flag;
  if (given.Has("--flags")) {
    const auto raw = NumberOption(given, "--flags", error);
    if (!raw) return false;
    request_flags |= *raw;
  }
  message.U32(wire::kRequestFlagsAt, request_flags);

  if (given.Has("--instance")) {
    const auto instance = NumberOption(given, "--instance", error);
    if (!instance) return false;
    message.Instance(*instance);
  }
  if (const std::string* text = given.Find("--display-name")) {
    if (!PutField(message, wire::kUiNameAt, wire::kUiNameSize, "the display name", *text, error))
      return false;
  }
  if (const std::string* text = given.Find("--version")) {
    if (!IsDottedVersion(*text)) {
      error = "--version takes four decimal numbers A.B.C.D, not \"" + *text + "\"";
      return false;
    }
    if (!PutField(message, wire::kSoftwareVersionAt, wire::kSoftwareVersionSize, "the version", *text,
                  error)) {
      return false;
    }
  }
  struct NumberField {
    std::string_view option;
    std::size_t at;
  };
  for (const NumberField field :
       {NumberField{"--product-kind", wire::kProductKindAt},
        NumberField{"--postpone", wire::kPostponeIntervalAt}, NumberField{"--deadline", wire::kDeadlineAt}}) {
    if (!given.Has(field.option)) continue;
    const auto value = NumberOption(given, field.option, error);
    if (!value) return false;
    message.U32(field.at, *value);
  }
  if (const std::string* text = given.Find("--random-delay")) {
    const std::size_t dash = text->find('-');
    const auto low =
        dash == std::string::npos ? std::nullopt : ParseNumber(std::string_view(*text).substr(0, dash));
    const auto high =
        dash == std::string::npos ? std::nullopt : ParseNumber(std::string_view(*text).substr(dash + 1));
    if (!low || !high || *low > *high) {
      error = "--random-delay takes MIN-MAX in minutes with MIN <= MAX, not \"" + *text + "\"";
      return false;
    }
    message.U32(wire::kRandomDelayMinAt, *low);
    message.U32(wire::kRandomDelayMaxAt, *high);
  }
  if (const std::string* text = given.Find("--start")) {
    const auto start = ParseStartTime(*text);
    if (!start) {
      error = "--start takes a valid local time \"YYYY-MM-DD HH:MM\", not \"" + *text + "\"";
      return false;
    }
    message.U16(wire::kStartYearAt, start->year);
    message.U16(wire::kStartMonthAt, start->month);
    message.U16(wire::kStartDayAt, start->day);
    message.U16(wire::kStartHourAt, start->hour);
    message.U16(wire::kStartMinuteAt, start->minute);
    request_flags |= flags::kStartTime;
  }
  if (const std::string* text = given.Find("--window")) {
    const auto window = ParseWindow(*text);
    if (!window) {
      error = "--window takes a daily window \"HH:MM-HH:MM\", not \"" + *text + "\"";
      return false;
    }
    message.U16(wire::kWindowStartHourAt, window->first.hour);
    message.U16(wire::kWindowStartMinuteAt, window->first.minute);
    message.U16(wire::kWindowEndHourAt, window->second.hour);
    message.U16(wire::kWindowEndMinuteAt, window->second.minute);
    request_flags |= flags::kInstallWindow;
  }
  message.AddFlags(request_flags);

  const std::string* url = given.Find("--url");
  if (!url || url->empty()) {
    error = "submit needs --url with the package URL";
    return false;
  }
  message.TextItem(wire::kPackageUrlItem, *url);
  const std::string* args = given.Find("--args");
  message.TextItem(wire::kInstallerArgumentsItem, args ? *args : std::string_view());
  if (const std::string* prompt = given.Find("--prompt")) {
    if (Utf16Length(*prompt) > kMaxPromptUnits) {
      error = "the prompt text is longer than the " + std::to_string(kMaxPromptUnits) +
              " characters a prompt shows";
      return false;
    }
    message.TextItem(wire::kPromptTextItem, *prompt);
  }
  if (const std::string* digest = given.Find("--sha256")) {
    message.TextItem(wire::kPackageDigestItem, *digest);
    if (!wire::ReadPackageDigest(message.span()).well_formed) {
      error = "--sha256 takes the package's SHA-256 as 64 hexadecimal characters, not \"" + *digest + "\"";
      return false;
    }
  }
  if (message.bytes().size() > wire::kMaxMessageSize) {
    error = "the request is " + std::to_string(message.bytes().size()) + " bytes; the agent takes at most " +
            std::to_string(wire::kMaxMessageSize);
    return false;
  }
  return true;
}

bool BuildMessage(Command command, const GivenOptions& given, wire::MessageWriter& message,
                  std::string& error) {
  switch (command) {
    case Command::kSubmit:
      return BuildSubmit(given, message, error);
    case Command::kQuery:
      message = wire::MessageWriter(wire::kQueryRequest);
      return PutIdentity(message, given, error);
    case Command::kCancel:
      message = wire::MessageWriter(wire::kCancelRequest);
      if (given.operands[0] == "*") {
        if (given.Has("--instance")) {
          error = "cancel * takes no instance number";
          return false;
        }
        return PutField(message, wire::kRequestNameAt, wire::kRequestNameSize, "the request name", "*",
                        error);
      }
      return PutIdentity(message, given, error);
    case Command::kList:
      message = wire::MessageWriter(wire::kEnumerateRequests);
      return true;
    case Command::kPostponed:
      message = wire::MessageWriter(wire::kQueryPostponed);
      return true;
    case Command::kInstallNow:
      message = wire::MessageWriter(wire::kInstallPostponedNow);
      return true;
    case Command::kUserAgent: {
      const std::string& text = given.operands[0];
      if (text.empty()) {
        error = "the user agent is empty";
        return false;
      }
      if (Utf16Length(text) > kMaxUserAgentUnits) {
        error = "the user agent is longer than the " + std::to_string(kMaxUserAgentUnits) +
                " characters the agent keeps";
        return false;
      }
      message = wire::MessageWriter(wire::kSetUserAgent);
      message.TextItem(wire::kUserAgentItem, text);
      return true;
    }
    case Command::kWatch:
    case Command::kHelp:
      return true;
  }
  return false;
}

ParseOutcome Refuse(std::string error) { return ParseOutcome{std::nullopt, std::move(error)}; }

}  // namespace

std::optional<std::uint32_t> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // from_chars takes a leading '-' in base 10; a number here never has a sign.
  if (text.empty() || text.front() == '-') return std::nullopt;
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string FullPipeName(std::string_view name) {
  if (name.size() >= kPipePrefix.size() && name.substr(0, kPipePrefix.size()) == kPipePrefix)
    return std::string(name);
  return std::string(kPipePrefix) + std::string(name);
}

void SetEnumerationIndex(std::span<std::uint8_t> message, std::uint32_t index) {
  WriteU32(message, wire::kRequestFlagsAt, index);
}

ParseOutcome ParseCommandLine(std::span<const std::string> arguments) {
  GivenOptions given;
  std::optional<CommandName> command;
  bool options_ended = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!options_ended && argument == "--") {
      options_ended = true;
      continue;
    }
    if (!options_ended && (argument == "--help" || argument == "-h")) {
      return ParseOutcome{CommandLine{}, {}};
    }
    if (!options_ended && argument.size() > 2 && argument.starts_with("--")) {
      const std::size_t equals = argument.find('=');
      const std::string_view name = std::string_view(argument).substr(0, equals);
      const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                       [&](const OptionDefinition& option) { return option.name == name; });
      if (option == std::end(kOptions)) return Refuse("unknown option " + std::string(name));
      if (given.Has(name)) return Refuse(std::string(name) + " is given twice");
      std::string value;
      if (option->takes_value) {
        if (equals != std::string::npos) {
          value = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size()) {
          value = arguments[++i];
        } else {
          return Refuse(std::string(name) + " needs a value");
        }
      } else if (equals != std::string::npos) {
        return Refuse(std::string(name) + " takes no value");
      }
      given.values.emplace_back(&*option, std::move(value));
      continue;
    }
    if (!command) {
      const auto known = std::find_if(std::begin(kCommands), std::end(kCommands),
                                      [&](const CommandName& entry) { return entry.name == argument; });
      if (known == std::end(kCommands)) return Refuse("unknown subcommand \"" + argument + "\"");
      command = *known;
      continue;
    }
    given.operands.push_back(argument);
  }

  if (!command) return Refuse("no subcommand given");
  if (given.operands.size() != command->operands) {
    return Refuse(std::string(command->name) + " takes " + std::to_string(command->operands) +
                  (command->operands == 1 ? " argument" : " arguments") + ", not " +
                  std::to_string(given.operands.size()));
  }
  for (const auto& [option, value] : given.values) {
    if ((option->commands & Bit(command->command)) == 0) {
      return Refuse(std::string(option->name) + " does not apply to " + std::string(command->name));
    }
  }

  CommandLine line;
  line.command = command->command;
  line.json = given.Has("--json");
  std::string error;
  if (given.Has("--timeout")) {
    const auto seconds = NumberOption(given, "--timeout", error);
    if (!seconds || *seconds == 0)
      return Refuse(error.empty() ? "--timeout must be at least 1 second" : error);
    line.timeout_seconds = *seconds;
  } else if (line.command != Command::kWatch) {
    line.timeout_seconds = kDefaultReplyTimeoutSeconds;
  }
  if (given.Has("--count")) {
    const auto count = NumberOption(given, "--count", error);
    if (!count || *count == 0) return Refuse(error.empty() ? "--count must be at least 1" : error);
    line.count = *count;
  }
  if (const std::string* pipe = given.Find("--pipe")) {
    if (pipe->empty()) return Refuse("--pipe needs a pipe name");
    line.pipe = FullPipeName(*pipe);
  } else if (line.command == Command::kWatch) {
    line.pipe = WideToUtf8(wire::kStatusPipeName);
  } else {
    line.pipe = WideToUtf8(given.Has("--info") ? wire::kInfoPipeName : wire::kRequestPipeName);
  }
  wire::MessageWriter message;
  if (!BuildMessage(line.command, given, message, error)) return Refuse(error);
  line.message = std::move(message).bytes();
  return ParseOutcome{std::move(line), {}};
}

std::string_view UsageText() {
  return R"(usage: qfupdatectl [--pipe NAME] [--info] [--json] [--timeout SECONDS] SUBCOMMAND ...

  submit NAME --url URL [options]   queue an update request
      --instance N                  instance number (marks the request as a dry run)
      --display-name TEXT           name shown in the install prompt (at most 79 bytes)
      --version A.B.C.D             version of the package
      --product-kind N              1 current client, 2 legacy client, 9999 any publisher
      --args TEXT                   installer arguments (default: none)
      --prompt TEXT                 text of the install prompt
      --sha256 HEX                  install only a package with this SHA-256 (64 hex digits)
      --start "YYYY-MM-DD HH:MM"    not before this local time
      --window HH:MM-HH:MM          install only inside this daily local window
      --random-delay MIN-MAX        random delay in minutes
      --postpone MINUTES            prompt again this long after the user postpones
      --deadline MINUTES            no postponing after this long
      --no-prompts --no-download-on-pop3 --download-when-disconnected --dry-run
      --force-install --pop1 --pop2 --pop3 --no-install-while-logged-on
      --skip-publisher-check        request flags by name
      --flags N                     further request flags (decimal or 0x hexadecimal)
  query NAME[:INSTANCE]             show one request
  list                              show every request
  cancel NAME[:INSTANCE] | '*'      cancel one request, or every active one
  postponed                         tell whether a request is postponed
  install-now                       install the postponed requests now
  user-agent TEXT                   set the user agent of downloads
  watch [--count N]                 serve the status pipe and print each status change

  --info          send over the info pipe (query, list, postponed, install-now)
  --pipe NAME     use this pipe instead
  --json          print one JSON object per line
  --timeout S     requests: wait at most S seconds for a reply (default 30);
                  watch: stop after S seconds
Exit status: 0 when the agent answered Done, 1 otherwise, 2 for a usage error.
)";
}

}  // namespace qfu::ctl
