#pragma once
// The command line of qfupdatectl turned into what it sends: the subcommand, the pipe, and
// the request message built from the options (request_message.h builds it). Portable: no
// Windows calls, UTF-8 arguments.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "number_text.h"
#include "request_message.h"

namespace qfu::ctl {

inline constexpr std::string_view kPipePrefix = "\\\\.\\pipe\\";

// How long a request subcommand waits for its reply unless --timeout says otherwise.
inline constexpr std::uint32_t kDefaultReplyTimeoutSeconds = 30;
struct CommandLine {
  Command command = Command::kHelp;
  std::string pipe;                   // full pipe path, UTF-8
  std::vector<std::uint8_t> message;  // the request to send; for list, the one with index 0
  bool json = false;                  // one JSON object per line instead of text
  std::uint32_t timeout_seconds = 0;  // reply bound for requests; listening bound for watch (0: none)
  std::uint32_t count = 0;            // watch: stop after this many records (0: no limit)
};

struct ParseOutcome {
  std::optional<CommandLine> command_line;  // empty when the arguments were refused
  std::string error;                        // why they were refused
};

// Parses the arguments that follow the program name. Refuses unknown or misplaced options,
// malformed numbers, dates and windows, and texts that do not fit their fields.
[[nodiscard]] ParseOutcome ParseCommandLine(std::span<const std::string> arguments);

// Returns the full pipe path for a --pipe value: kept when it starts with \\.\pipe\, else
// appended to that prefix.
[[nodiscard]] std::string FullPipeName(std::string_view name);

// The usage text printed by --help and after a usage error.
[[nodiscard]] std::string_view UsageText();

}  // namespace qfu::ctl
