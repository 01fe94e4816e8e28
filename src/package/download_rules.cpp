#include "package/download_rules.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <string>

#include "common/ascii.h"
#include "common/utf.h"
#include "store/request_name.h"

namespace qfu::package {
namespace {

constexpr WideStringView kSeparatorCharacters = QFU_WIDE("\\:");
// The escapes of "/", "\" and ":" after the "%"; compared without regard to letter case.
constexpr std::array<WideStringView, 3> kEncodedSeparators = {QFU_WIDE("2F"), QFU_WIDE("5C"), QFU_WIDE("3A")};

bool HoldsEncodedSeparator(WideStringView name) noexcept {
  for (std::size_t percent = name.find('%'); percent != WideStringView::npos;
       percent = name.find('%', percent + 1)) {
    const WideStringView escape = name.substr(percent + 1, 2);
    if (escape.size() < 2) return false;
    const WideChar upper[2] = {AsciiUpper(escape[0]), AsciiUpper(escape[1])};
    if (std::find(kEncodedSeparators.begin(), kEncodedSeparators.end(), WideStringView(upper, 2)) !=
        kEncodedSeparators.end()) {
      return true;
    }
  }
  return false;
}

constexpr WideStringView kBytesUnit = QFU_WIDE("bytes ");

// Splits value at the first separator: the number before it (digits only) and the rest.
std::optional<std::uint64_t> NumberBefore(WideStringView& value, WideChar separator) {
  const std::size_t at = value.find(separator);
  if (at == WideStringView::npos || at == 0 || value.substr(0, at).find(' ') != WideStringView::npos) {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> number = ParseContentLength(value.substr(0, at));
  value = value.substr(at + 1);
  return number;
}

}  // namespace

std::optional<WideStringView> PackageFileName(WideStringView url_path) {
  const std::size_t slash = url_path.rfind('/');
  const WideStringView name = slash == WideStringView::npos ? url_path : url_path.substr(slash + 1);
  // A name ending in a dot covers "." and "..".
  if (name.empty() || name.back() == '.' || name.back() == ' ') return std::nullopt;
  if (name.find_first_of(kSeparatorCharacters) != WideStringView::npos) return std::nullopt;
  // A control character (NUL included) names no file on Windows, and a NUL would cut the path.
  if (std::any_of(name.begin(), name.end(), [](WideChar c) { return c < 0x20 || c == 0x7F; }))
    return std::nullopt;
  if (HoldsEncodedSeparator(name)) return std::nullopt;
  if (store::IsDeviceName(WideToUtf8(name))) return std::nullopt;
  return name;
}

std::optional<std::uint64_t> ParseContentLength(WideStringView value) {
  const std::size_t first = value.find_first_not_of(' ');
  if (first == WideStringView::npos) return std::nullopt;
  value = value.substr(first, value.find_last_not_of(' ') - first + 1);
  // Decimal digits only (no sign, no inner space); from_chars reads narrow text.
  std::string digits;
  for (const WideChar c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    digits.push_back(static_cast<char>(c));
  }
  std::uint64_t length = 0;
  const char* const end = digits.data() + digits.size();
  const auto [last, error] = std::from_chars(digits.data(), end, length);
  if (error != std::errc() || last != end) return std::nullopt;
  return length;
}

}  // namespace qfu::package

namespace qfu::package {

std::optional<ContentRange> ParseContentRange(WideStringView value) {
  constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();
  if (value.substr(0, kBytesUnit.size()) != kBytesUnit) return std::nullopt;
  value = value.substr(kBytesUnit.size());
  ContentRange range;
  const std::optional<std::uint64_t> first = NumberBefore(value, '-');
  const std::optional<std::uint64_t> last = NumberBefore(value, '/');
  // The last byte position is one below the end, which must itself be a number.
  if (!first || !last || *first > *last || *last == kNoEnd || value.empty()) return std::nullopt;
  range.first = *first;
  range.last = *last;
  if (value == QFU_WIDE("*")) return range;
  if (value.find(' ') != WideStringView::npos) return std::nullopt;
  range.total = ParseContentLength(value);
  if (!range.total || *range.total <= range.last) return std::nullopt;
  return range;
}

std::optional<std::uint64_t> ParseUnsatisfiedRange(WideStringView value) {
  constexpr WideStringView kUnknownRange = QFU_WIDE("bytes */");
  if (value.substr(0, kUnknownRange.size()) != kUnknownRange) return std::nullopt;
  value = value.substr(kUnknownRange.size());
  if (value.empty() || value.find(' ') != WideStringView::npos) return std::nullopt;
  return ParseContentLength(value);
}

}  // namespace qfu::package
