#include "command_line.h"

#include <algorithm>

#include "common/utf.h"
#include "wire/message.h"
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
  unsigned commands;        // the subcommands it applies to
  wire::RequestFlags flag;  // the request flag a switch sets, or none
};

// Every option the tool knows. A request flag switch sets its bit; the others are read below.
constexpr OptionDefinition kOptions[] = {
    {"--pipe", true, kAllCommands, {}},
    {"--info", false, kRequestCommands, {}},
    {"--json", false, kAllCommands, {}},
    {"--timeout", true, kAllCommands, {}},
    {"--count", true, Bit(Command::kWatch), {}},
    {"--instance", true, Bit(Command::kSubmit) | Bit(Command::kQuery) | Bit(Command::kCancel), {}},
    {"--display-name", true, Bit(Command::kSubmit), {}},
    {"--version", true, Bit(Command::kSubmit), {}},
    {"--product-kind", true, Bit(Command::kSubmit), {}},
    {"--url", true, Bit(Command::kSubmit), {}},
    {"--args", true, Bit(Command::kSubmit), {}},
    {"--prompt", true, Bit(Command::kSubmit), {}},
    {"--sha256", true, Bit(Command::kSubmit), {}},
    {"--start", true, Bit(Command::kSubmit), {}},
    {"--window", true, Bit(Command::kSubmit), {}},
    {"--random-delay", true, Bit(Command::kSubmit), {}},
    {"--postpone", true, Bit(Command::kSubmit), {}},
    {"--deadline", true, Bit(Command::kSubmit), {}},
    {"--flags", true, Bit(Command::kSubmit), {}},
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

ParseOutcome Refuse(std::string error) { return ParseOutcome{std::nullopt, std::move(error)}; }

}  // namespace

std::string FullPipeName(std::string_view name) {
  if (name.size() >= kPipePrefix.size() && name.substr(0, kPipePrefix.size()) == kPipePrefix)
    return std::string(name);
  return std::string(kPipePrefix) + std::string(name);
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
      given.values.push_back({option->name, std::move(value), option->flag});
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
  for (const GivenOption& given_option : given.values) {
    const auto option =
        std::find_if(std::begin(kOptions), std::end(kOptions),
                     [&](const OptionDefinition& known) { return known.name == given_option.name; });
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
  if (!BuildRequestMessage(line.command, given, message, error)) return Refuse(error);
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
