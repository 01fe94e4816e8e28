#pragma once
// The request message a qfupdatectl subcommand sends, built from its checked options.
// Portable: no Windows calls, UTF-8 texts.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire/message_writer.h"

namespace qfu::ctl {

// The agent's user-agent buffer holds 260 UTF-16 units with the terminator.
inline constexpr std::size_t kMaxUserAgentUnits = 259;
// The install prompt shows at most 511 UTF-16 units of a request's own prompt text.
inline constexpr std::size_t kMaxPromptUnits = 511;

enum class Command { kHelp, kSubmit, kQuery, kList, kCancel, kPostponed, kInstallNow, kUserAgent, kWatch };

// One option as given on the command line: its name, its value (empty for a switch) and, for a
// request flag switch, the flag it sets.
struct GivenOption {
  std::string_view name;
  std::string value;
  wire::RequestFlags flag{};
};

// The options and operands as given, after they were checked against the subcommand.
struct GivenOptions {
  std::vector<GivenOption> values;
  std::vector<std::string> operands;

  [[nodiscard]] const std::string* Find(std::string_view name) const {
    for (const GivenOption& option : values) {
      if (option.name == name) return &option.value;
    }
    return nullptr;
  }
  [[nodiscard]] bool Has(std::string_view name) const { return Find(name) != nullptr; }
};

// The value of a number option, or nothing: absent, or (with the reason in error) malformed.
[[nodiscard]] std::optional<std::uint32_t> NumberOption(const GivenOptions& given, std::string_view name,
                                                        std::string& error);

// Builds the subcommand's message into message. Refuses malformed numbers, dates and windows,
// and texts that do not fit their fields, with the reason in error.
[[nodiscard]] bool BuildRequestMessage(Command command, const GivenOptions& given,
                                       wire::MessageWriter& message, std::string& error);

// Writes the enumeration index into a list message (the request flags field).
void SetEnumerationIndex(std::span<std::uint8_t> message, std::uint32_t index);

}  // namespace qfu::ctl
