#include "worker/user_prompts.h"

#include <array>

#include "common/utf.h"
#include "wire/ui_prompt.h"

namespace qfu::worker {
namespace {

// Appends "\r\n\r\n" and the UIName after the built-in install text.
constexpr WideStringView kParagraphBreak = L"\r\n\r\n";

template <std::size_t Units>
[[nodiscard]] WideString LoadText(HMODULE module, UINT id) {
  std::array<wchar_t, Units> text{};
  // A missing string leaves the buffer empty; LoadStringW always terminates what it copies.
  const int length = ::LoadStringW(module, id, text.data(), static_cast<int>(text.size()));
  return WideString(text.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
}

}  // namespace

std::uint32_t SendInstallPrompt(HMODULE resource_module, const wire::RequestMessage& message,
                                std::uint32_t timeout_ms, UiChannel& ui) {
  if (resource_module == nullptr) return wire::ui_reply::kCancel;
  const WideString caption = LoadText<kCaptionUnits>(resource_module, text_id::kCaption);
  WideString text = message.prompt_text();
  if (text.empty()) {
    text = LoadText<kTextUnits>(resource_module, text_id::kInstallPrompt);
    text += kParagraphBreak;
    text += Utf8ToWide(message.ui_name());
    // The text stays within its 512 units, the terminator included.
    if (text.size() > kTextUnits - 1) text.resize(kTextUnits - 1);
  }
  return ui.SendUiPrompt(text, caption, kInstallPromptStyle, timeout_ms);
}

std::uint32_t SendStringPrompt(HMODULE resource_module, UINT id, std::uint32_t style, UiChannel& ui) {
  if (resource_module == nullptr) return wire::ui_reply::kCancel;
  return ui.SendUiPrompt(LoadText<kTextUnits>(resource_module, id),
                         LoadText<kCaptionUnits>(resource_module, text_id::kCaption), style, 0);
}

}  // namespace qfu::worker
