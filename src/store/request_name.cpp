#include "store/request_name.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "common/ascii.h"
#include "common/utf.h"
#include "store/request_key.h"

namespace qfu::store {
namespace {

constexpr std::string_view kForbiddenCharacters = "<>:\"/\\|?*";
constexpr char kKeyNameSeparator = '_';

// True when text is well-formed UTF-8: shortest forms only, no surrogates, nothing above
// U+10FFFF.
bool IsValidUtf8(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t code_point = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code_point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code_point = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code_point = (code_point << 6) | (next & 0x3F);
    }
    constexpr char32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code_point < kSmallest[length] || code_point > 0x10FFFF) return false;
    if (code_point >= 0xD800 && code_point <= 0xDFFF) return false;
    i += length;
  }
  return true;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

bool HasForbiddenCharacter(std::string_view name) noexcept {
  return std::any_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || kForbiddenCharacters.find(c) != std::string_view::npos;
  });
}

// True when the name comes back unchanged from the key name the store gives it.
bool SurvivesKeyName(std::string_view name) {
  const auto parsed = ParseRequestKeyName(FormatRequestKeyName(Utf8ToWide(name), 0));
  return parsed.has_value() && parsed->instance_number == 0 && FieldText(parsed->name) == name;
}

}  // namespace

bool IsDeviceName(std::string_view name) noexcept {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (const std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
    if (EqualsIgnoringAsciiCase(stem, device)) return true;
  }
  if (stem.size() < 4) return false;
  const std::string_view prefix = stem.substr(0, 3);
  if (!EqualsIgnoringAsciiCase(prefix, "COM") && !EqualsIgnoringAsciiCase(prefix, "LPT")) return false;
  const std::string_view digit = stem.substr(3);
  // COM1-COM9 and LPT1-LPT9, and the superscript digits 1-3 that Windows counts too.
  if (digit.size() == 1) return digit[0] >= '1' && digit[0] <= '9';
  return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

bool IsAcceptableRequestName(wire::Bytes request_name_field) noexcept {
  if (request_name_field.size() != wire::kRequestNameSize) return false;
  const auto nul = std::find(request_name_field.begin(), request_name_field.end(), std::uint8_t{0});
  if (nul == request_name_field.end()) return false;  // no room for its terminator
  const std::string_view name(reinterpret_cast<const char*>(request_name_field.data()),
                              static_cast<std::size_t>(nul - request_name_field.begin()));
  if (name.empty() || !IsValidUtf8(name) || HasForbiddenCharacter(name)) return false;
  if (name.find(kKeyNameSeparator) != std::string_view::npos || name.find("..") != std::string_view::npos)
    return false;
  if (name.back() == '.' || name.back() == ' ') return false;
  if (IsDeviceName(name)) return false;
  return SurvivesKeyName(name);
}

}  // namespace qfu::store
