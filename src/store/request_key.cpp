#include "store/request_key.h"

#include <algorithm>

#include "common/utf.h"

namespace qfu::store {
namespace {

constexpr std::size_t kInstanceDigits = 8;

int HexDigitValue(WideChar c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The text of a request name field: up to its NUL, never past its 37 bytes.
std::string_view NameFieldText(wire::Bytes request_name_field) noexcept {
  return FieldText(request_name_field.first(std::min(request_name_field.size(), wire::kRequestNameSize)));
}

}  // namespace

WideString FormatRequestKeyName(WideStringView name, std::uint32_t instance_number) {
  WideString key_name(name);
  if (instance_number == 0) return key_name;
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  key_name.push_back('_');
  for (std::size_t i = kInstanceDigits; i-- > 0;) {
    key_name.push_back(static_cast<WideChar>(kHexDigits[(instance_number >> (4 * i)) & 0xF]));
  }
  return key_name;
}

WideString BuildRequestKeyPath(WideStringView root, wire::Bytes request_name_field,
                               std::uint32_t instance_number) {
  WideString path(root);
  path.push_back('\\');
  path += FormatRequestKeyName(Utf8ToWide(NameFieldText(request_name_field)), instance_number);
  return path;
}

bool IsStorableRequestName(wire::Bytes request_name_field) noexcept {
  const std::string_view text = NameFieldText(request_name_field);
  return !text.empty() && text.find('\\') == std::string_view::npos;
}

std::optional<ParsedKeyName> ParseRequestKeyName(WideStringView key_name) {
  const auto nul = key_name.find(WideChar{0});
  if (nul != WideStringView::npos) key_name = key_name.substr(0, nul);
  const auto underscore = key_name.find(WideChar{'_'});
  const WideStringView name = key_name.substr(0, underscore);
  const std::string utf8 = WideToUtf8(name);
  if (utf8.empty() || utf8.size() >= wire::kRequestNameSize) return std::nullopt;

  ParsedKeyName parsed;
  std::copy(utf8.begin(), utf8.end(), parsed.name.begin());
  if (underscore != WideStringView::npos) {
    // Digits beyond the eighth shift the older ones out, as a 32-bit "%X" keeps the low bits.
    for (WideChar c : key_name.substr(underscore + 1)) {
      const int digit = HexDigitValue(c);
      if (digit < 0) break;
      parsed.instance_number = (parsed.instance_number << 4) | static_cast<std::uint32_t>(digit);
    }
  }
  return parsed;
}

}  // namespace qfu::store
