#include "request_message.h"

#include "common/bytes.h"
#include "common/local_time.h"
#include "common/utf.h"
#include "number_text.h"
#include "wire/message.h"

namespace qfu::ctl {
namespace {

namespace flags = wire::flags;

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

  wire::RequestFlags request_flags{};
  for (const GivenOption& option : given.values) request_flags |= option.flag;
  if (given.Has("--flags")) {
    const auto raw = NumberOption(given, "--flags", error);
    if (!raw) return false;
    request_flags |= wire::RequestFlags{*raw};
  }
  message.Flags(request_flags);

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

}  // namespace

std::optional<std::uint32_t> NumberOption(const GivenOptions& given, std::string_view name,
                                          std::string& error) {
  const std::string* text = given.Find(name);
  if (!text) return std::nullopt;
  const auto value = ParseNumber(*text);
  if (!value)
    error = std::string(name) + " takes a number (decimal or 0x hexadecimal), not \"" + *text + "\"";
  return value;
}

bool BuildRequestMessage(Command command, const GivenOptions& given, wire::MessageWriter& message,
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

void SetEnumerationIndex(std::span<std::uint8_t> message, std::uint32_t index) {
  WriteU32(message, wire::kRequestFlagsAt, index);
}

}  // namespace qfu::ctl
