#pragma once
// What the agent asks and tells the logged-on user through the UI pipe: the install prompt,
// the restart prompt and the two notices, each with its texts from the resource module
// (string numbers below) and its message-box style.
#include <windows.h>

#include <cstdint>

#include "wire/message.h"
#include "worker/worker_ports.h"

namespace qfu::worker {

// String resources of the resource module.
namespace text_id {
inline constexpr UINT kCaption = 100;        // every prompt's caption
inline constexpr UINT kInstallPrompt = 101;  // the install prompt without a prompt text of its own
inline constexpr UINT kRestartPrompt = 102;
inline constexpr UINT kRestartFailed = 103;  // notice: the restart could not be started
inline constexpr UINT kNoRestart = 104;      // notice: no automatic restart
}  // namespace text_id

// Capacities in UTF-16 units, the terminator included.
inline constexpr int kCaptionUnits = 128;
inline constexpr int kTextUnits = 512;

// Message-box styles.
inline constexpr std::uint32_t kInstallPromptStyle = 0x50104;  // YES/NO, second button, foreground, topmost
inline constexpr std::uint32_t kRestartPromptStyle = 0x104;    // YES/NO, second button
inline constexpr std::uint32_t kNoticeStyle = 0;               // OK

// Asks whether to install the request's package now: its prompt text (item type 4) when it is
// there and not empty, else string 101, an empty line and the request's UIName; caption 100.
// Returns the UI's answer, or 2 without sending anything when there is no resource module.
[[nodiscard]] std::uint32_t SendInstallPrompt(HMODULE resource_module, const wire::RequestMessage& message,
                                              std::uint32_t timeout_ms, UiChannel& ui);

// Sends string text_id with caption 100, the style and no time limit. Returns the UI's answer,
// or 2 without sending anything when there is no resource module.
[[nodiscard]] std::uint32_t SendStringPrompt(HMODULE resource_module, UINT text_id, std::uint32_t style,
                                             UiChannel& ui);

}  // namespace qfu::worker
