#include "store/version.h"

#include <limits>

namespace qfu::store {
namespace {

constexpr std::uint32_t kMaxPart = std::numeric_limits<std::uint32_t>::max();

// The white space that "%u" skips (the C locale's isspace).
constexpr bool IsSpace(WideChar c) noexcept { return c == u' ' || (c >= u'\t' && c <= u'\r'); }
constexpr bool IsDigit(WideChar c) noexcept { return c >= u'0' && c <= u'9'; }

// Reads one "%u" conversion at text[pos], moving pos past it. Returns false when no number
// starts there (the conversion fails and the remaining parts stay 0).
bool ReadPart(WideStringView text, std::size_t& pos, std::uint32_t& part) noexcept {
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
    negative = text[pos] == u'-';
    ++pos;
  }
  if (pos >= text.size() || !IsDigit(text[pos])) return false;
  // An out-of-range number saturates, as strtoul's does, rather than wrapping: a version part
  // too large to hold still sorts above every part that can be held.
  std::uint32_t magnitude = 0;
  bool overflowed = false;
  for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
    const auto digit = static_cast<std::uint32_t>(text[pos] - u'0');
    if (overflowed || magnitude > (kMaxPart - digit) / 10) {
      overflowed = true;
      continue;
    }
    magnitude = magnitude * 10 + digit;
  }
  part = overflowed ? kMaxPart : (negative ? 0u - magnitude : magnitude);
  return true;
}

}  // namespace

VersionParts ParseVersion(WideStringView text) noexcept {
  VersionParts parts{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != u'.') break;
      ++pos;
    }
    if (!ReadPart(text, pos, parts[i])) break;
  }
  return parts;
}

InstalledVersionResult CompareVersionTexts(WideStringView requested, WideStringView installed) noexcept {
  if (installed.empty()) return InstalledVersionResult::kInstalledUnknown;
  if (requested.empty()) return InstalledVersionResult::kNoRequestedVersion;
  const VersionParts wanted = ParseVersion(requested);
  const VersionParts present = ParseVersion(installed);
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (wanted[i] < present[i]) return InstalledVersionResult::kOlder;
    if (wanted[i] > present[i]) return InstalledVersionResult::kNewer;
  }
  return InstalledVersionResult::kSame;
}

}  // namespace qfu::store
