#pragma once
// The UI pipe: the agent asks the user through a UI process in the user's session, which
// serves the UI pipe. One prompt is one message of exactly 1288 bytes (a UTF-16 text and
// caption, message-box style flags and a time limit); the answer is a 4-byte message-box
// result. Integers are little-endian; unused bytes are zero.
#include <array>
#include <cstdint>
#include <optional>

#include "common/wide.h"
#include "wire/message.h"

namespace qfu::wire {

inline constexpr std::size_t kUiPromptSize = 1288;
inline constexpr std::size_t kUiPromptTextAt = 0;
inline constexpr std::size_t kUiPromptTextUnits = 512;  // 511 characters and the NUL
inline constexpr std::size_t kUiPromptCaptionAt = 1024;
inline constexpr std::size_t kUiPromptCaptionUnits = 128;  // 127 characters and the NUL
inline constexpr std::size_t kUiPromptStyleAt = 1280;
inline constexpr std::size_t kUiPromptTimeoutAt = 1284;
static_assert(kUiPromptTimeoutAt + 4 == kUiPromptSize);
inline constexpr std::size_t kUiPromptReplySize = 4;

// Message-box results a prompt is answered with.
namespace ui_reply {
inline constexpr std::uint32_t kCancel = 2;  // also: no UI process, or a reply shorter than 4 bytes
inline constexpr std::uint32_t kIgnore = 5;
inline constexpr std::uint32_t kYes = 6;
inline constexpr std::uint32_t kNo = 7;
inline constexpr std::uint32_t kTimedOut = 32000;  // the UI's time limit ran out
}  // namespace ui_reply

using UiPromptMessage = std::array<std::uint8_t, kUiPromptSize>;

// Builds the prompt: the text cut to 511 units and the caption to 127, each followed by a NUL
// (a cut never leaves half a surrogate pair behind), then the style and the time limit in
// milliseconds (0: none).
[[nodiscard]] UiPromptMessage BuildUiPrompt(WideStringView text, WideStringView caption, std::uint32_t style,
                                            std::uint32_t timeout_ms);

struct UiPrompt {
  WideString text;     // up to its NUL, never past its field
  WideString caption;  // likewise
  std::uint32_t style = 0;
  std::uint32_t timeout_ms = 0;
};

// Reads a prompt as the UI process receives it; nothing unless it is exactly 1288 bytes.
[[nodiscard]] std::optional<UiPrompt> ParseUiPrompt(Bytes message);

// The answer in a reply: its first 4 bytes, or kCancel when it is shorter.
[[nodiscard]] std::uint32_t UiPromptAnswer(Bytes reply) noexcept;

}  // namespace qfu::wire
