// The prompt the agent builds from translated texts and a request's name, and that the UI
// process reads back (message_fuzz feeds the reader arbitrary bytes; here the builder):
// - the text and caption read back are the input up to its first NUL, cut to 511 and 127
//   units, and never end in the first half of a surrogate pair cut from its second;
// - the style and the time limit read back as written;
// - a prompt read back and built again is the same message.
#include <cstring>

#include "fuzz_input.h"
#include "wire/ui_prompt.h"

namespace {

using qfu::WideString;
using qfu::WideStringView;

bool IsLeadingSurrogate(qfu::WideChar c) { return c >= 0xD800 && c <= 0xDBFF; }

// What the reader must see of text in a field of `units` (NUL included).
void CheckCut(WideStringView input, const WideString& read, std::size_t units) {
  const WideStringView to_nul = input.substr(0, input.find(qfu::WideChar{0}));
  QFU_FUZZ_CHECK(read.size() < units);
  QFU_FUZZ_CHECK(to_nul.substr(0, read.size()) == read);
  if (to_nul.size() <= units - 1) {
    QFU_FUZZ_CHECK(read.size() == to_nul.size());
  } else if (read.size() < units - 1) {
    // Only a pair that would be split is dropped, and only its first half was left over.
    QFU_FUZZ_CHECK(read.size() == units - 2 && IsLeadingSurrogate(to_nul[units - 2]));
  } else {
    QFU_FUZZ_CHECK(!IsLeadingSurrogate(read.back()) ||
                   !(to_nul[read.size()] >= 0xDC00 && to_nul[read.size()] <= 0xDFFF));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return 0;
  std::uint32_t style = 0, timeout = 0;
  std::memcpy(&style, data, 4);
  std::memcpy(&timeout, data + 4, 4);
  const std::size_t caption_units = data[8] | ((data[9] & 1) << 8);  // the caption's share, up to 511 units
  const WideString all = qfu::fuzz::WideFromBytes(data + 10, size - 10);
  const WideString caption = all.substr(0, std::min(all.size(), caption_units));
  const WideString text = all.substr(caption.size());

  const auto prompt = qfu::wire::BuildUiPrompt(text, caption, style, timeout);
  const auto read = qfu::wire::ParseUiPrompt(prompt);
  QFU_FUZZ_CHECK(read.has_value());
  QFU_FUZZ_CHECK(read->style == style && read->timeout_ms == timeout);
  CheckCut(text, read->text, qfu::wire::kUiPromptTextUnits);
  CheckCut(caption, read->caption, qfu::wire::kUiPromptCaptionUnits);
  QFU_FUZZ_CHECK(qfu::wire::BuildUiPrompt(read->text, read->caption, read->style, read->timeout_ms) ==
                 prompt);
  return 0;
}
