#include "wire/ui_prompt.h"

#include <algorithm>

#include "common/bytes.h"

namespace qfu::wire {
namespace {

bool IsHighSurrogate(WideChar unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }

// Writes as much of text as fits before the NUL of a field of `units` UTF-16 units; the rest
// of the field stays zero.
void WriteUtf16Field(UiPromptMessage& message, std::size_t at, std::size_t units, WideStringView text) {
  // The reader stops at a NUL: nothing after one is written, so the rest of the field is zero.
  text = text.substr(0, text.find(WideChar{0}));
  std::size_t count = std::min(text.size(), units - 1);
  if (count < text.size() && count > 0 && IsHighSurrogate(text[count - 1])) --count;
  for (std::size_t i = 0; i < count; ++i) {
    WriteU16(message, at + 2 * i, static_cast<std::uint16_t>(text[i]));
  }
}

WideString ReadUtf16Field(Bytes message, std::size_t at, std::size_t units) {
  WideString text;
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint16_t unit = ReadU16(message, at + 2 * i);
    if (unit == 0) break;
    text.push_back(static_cast<WideChar>(unit));
  }
  return text;
}

}  // namespace

UiPromptMessage BuildUiPrompt(WideStringView text, WideStringView caption, std::uint32_t style,
                              std::uint32_t timeout_ms) {
  UiPromptMessage message{};
  WriteUtf16Field(message, kUiPromptTextAt, kUiPromptTextUnits, text);
  WriteUtf16Field(message, kUiPromptCaptionAt, kUiPromptCaptionUnits, caption);
  WriteU32(message, kUiPromptStyleAt, style);
  WriteU32(message, kUiPromptTimeoutAt, timeout_ms);
  return message;
}

std::optional<UiPrompt> ParseUiPrompt(Bytes message) {
  if (message.size() != kUiPromptSize) return std::nullopt;
  return UiPrompt{ReadUtf16Field(message, kUiPromptTextAt, kUiPromptTextUnits),
                  ReadUtf16Field(message, kUiPromptCaptionAt, kUiPromptCaptionUnits),
                  ReadU32(message, kUiPromptStyleAt), ReadU32(message, kUiPromptTimeoutAt)};
}

std::uint32_t UiPromptAnswer(Bytes reply) noexcept {
  return reply.size() < kUiPromptReplySize ? ui_reply::kCancel : ReadU32(reply, 0);
}

}  // namespace qfu::wire
