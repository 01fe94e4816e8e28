// Version texts come from the request and from the installed product:
// - the parts read from any text, written back as "a.b.c.d", read as the same parts;
// - comparing is an order: a text equals itself, and swapping the texts swaps older and newer.
#include <string>

#include "fuzz_input.h"
#include "store/version.h"

namespace {

using qfu::WideString;
using qfu::store::CompareVersionTexts;
using qfu::store::InstalledVersionResult;

WideString Written(const qfu::store::VersionParts& parts) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? "." : "") + std::to_string(parts[i]);
  return WideString(text.begin(), text.end());
}

InstalledVersionResult Swapped(InstalledVersionResult result) {
  if (result == InstalledVersionResult::kOlder) return InstalledVersionResult::kNewer;
  if (result == InstalledVersionResult::kNewer) return InstalledVersionResult::kOlder;
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Two texts: the input's one-byte characters up to the first NUL, and the rest as UTF-16.
  std::size_t split = 0;
  while (split < size && data[split] != 0) ++split;
  const WideString first(data, data + split);
  const WideString second =
      split < size ? qfu::fuzz::WideFromBytes(data + split + 1, size - split - 1) : WideString();
  for (const WideString& text : {first, second}) {
    const auto parts = qfu::store::ParseVersion(text);
    QFU_FUZZ_CHECK(qfu::store::ParseVersion(Written(parts)) == parts);
    if (!text.empty())
      QFU_FUZZ_CHECK(CompareVersionTexts(text, Written(parts)) == InstalledVersionResult::kSame);
  }
  if (!first.empty() && !second.empty()) {
    QFU_FUZZ_CHECK(CompareVersionTexts(first, second) == Swapped(CompareVersionTexts(second, first)));
  }
  return 0;
}
