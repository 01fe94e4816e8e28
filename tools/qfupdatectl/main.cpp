// qfupdatectl: the product-side client of the update agent. Sends one request (or, for
// list, one per index) over the request or info pipe and prints the replies; `watch` serves
// the status pipe instead.
#include <windows.h>

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "command_line.h"
#include "common/utf.h"
#include "console_output.h"
#include "pipe_client.h"
#include "status_format.h"
#include "status_listener.h"
#include "wire/message.h"

namespace qfu::ctl {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// A list stops when this many indices in a row cannot be read: the agent answers every index
// that way when it cannot open its service key, and the enumeration would never end.
constexpr std::uint32_t kMaxUnreadableInARow = 64;
// No agent keeps this many requests; an enumeration that goes on past it is given up.
constexpr std::uint32_t kMaxListIndex = 100000;

std::string DescribeError(DWORD error) {
  std::string text;
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      text = "nothing serves the pipe (is the QFUpdate service running?)";
      break;
    case ERROR_ACCESS_DENIED:
      text = "access denied";
      break;
    case ERROR_PIPE_BUSY:
      text = "every instance of the pipe stayed busy";
      break;
    case ERROR_TIMEOUT:
      text = "no answer in time";
      break;
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
      text = "the agent closed the connection";
      break;
    case ERROR_MORE_DATA:
      text = "the reply is too long";
      break;
    default:
      text = "failed";
      break;
  }
  return text + " (error " + std::to_string(error) + ")";
}

class Session {
 public:
  explicit Session(const CommandLine& line) : line_(line), pipe_(Utf8ToWide(line.pipe)) {}

  // Connects; prints why it cannot.
  [[nodiscard]] bool Connect() {
    const DWORD error = client_.Connect(pipe_);
    if (error != ERROR_SUCCESS)
      PrintError("qfupdatectl: cannot connect to " + line_.pipe + ": " + DescribeError(error) + "\n");
    return error == ERROR_SUCCESS;
  }

  // Sends the message and returns the reply; prints why there is none.
  [[nodiscard]] std::optional<ReceivedRecord> Exchange(std::span<const std::uint8_t> message) {
    std::vector<std::uint8_t> bytes;
    constexpr DWORD kLongestWaitSeconds = (INFINITE - 1) / 1000;
    const DWORD timeout_ms = std::min<DWORD>(line_.timeout_seconds, kLongestWaitSeconds) * 1000;
    const DWORD error = client_.Exchange(message, bytes, timeout_ms);
    if (error != ERROR_SUCCESS) {
      PrintError("qfupdatectl: no reply on " + line_.pipe + ": " + DescribeError(error) + "\n");
      return std::nullopt;
    }
    std::string why;
    auto reply = ParseReply(bytes, why);
    if (!reply) PrintError("qfupdatectl: malformed reply: " + why + "\n");
    return reply;
  }

  void Print(const ReceivedRecord& reply, std::optional<std::uint32_t> index = {}) const {
    PrintOut(line_.json ? FormatReplyJson(reply, index) : FormatReplyText(reply, index));
  }

 private:
  const CommandLine& line_;
  WideString pipe_;
  PipeClient client_;
};

int RunRequest(const CommandLine& line) {
  Session session(line);
  if (!session.Connect()) return kExitFailed;
  const auto reply = session.Exchange(line.message);
  if (!reply) return kExitFailed;
  session.Print(*reply);
  return reply->result == wire::result::kDone ? kExitDone : kExitFailed;
}

// Enumerates with the index 0, 1, 2, ... on one connection until the agent reports the end,
// going on past indices it cannot read.
int RunList(const CommandLine& line) {
  Session session(line);
  if (!session.Connect()) return kExitFailed;
  std::vector<std::uint8_t> message = line.message;
  std::uint32_t unreadable_in_a_row = 0;
  for (std::uint32_t index = 0; index < kMaxListIndex; ++index) {
    SetEnumerationIndex(message, index);
    const auto reply = session.Exchange(message);
    if (!reply) return kExitFailed;
    if (index != 0 && !line.json) PrintOut("\n");
    session.Print(*reply, index);
    if (reply->result == wire::result::kNothingToReport) return kExitDone;
    if (reply->result == wire::result::kCannotCarryOut) {
      if (++unreadable_in_a_row == kMaxUnreadableInARow) {
        PrintError("qfupdatectl: gave up after " + std::to_string(kMaxUnreadableInARow) +
                   " indices in a row that the agent could not read\n");
        return kExitFailed;
      }
      continue;
    }
    if (reply->result != wire::result::kDone) return kExitFailed;
    unreadable_in_a_row = 0;
  }
  PrintError("qfupdatectl: gave up after " + std::to_string(kMaxListIndex) + " indices\n");
  return kExitFailed;
}

int Run(const std::vector<std::string>& arguments) {
  if (arguments.empty()) {
    PrintError(UsageText());
    return kExitUsage;
  }
  const ParseOutcome parsed = ParseCommandLine(arguments);
  if (!parsed.command_line) {
    PrintError("qfupdatectl: " + parsed.error + "\n(qfupdatectl --help shows the usage)\n");
    return kExitUsage;
  }
  const CommandLine& line = *parsed.command_line;
  switch (line.command) {
    case Command::kHelp:
      PrintOut(UsageText());
      return kExitDone;
    case Command::kWatch:
      return RunStatusListener(line);
    case Command::kList:
      return RunList(line);
    default:
      return RunRequest(line);
  }
}

}  // namespace
}  // namespace qfu::ctl

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(qfu::WideToUtf8(argv[i]));
  return qfu::ctl::Run(arguments);
}
