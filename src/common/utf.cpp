#include "common/utf.h"

#include <algorithm>
#include <cstring>

namespace qfu {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

void AppendUtf16(WideString& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<WideChar>(code_point));
    return;
  }
  const char32_t v = code_point - 0x10000;
  out.push_back(static_cast<WideChar>(0xD800 + (v >> 10)));
  out.push_back(static_cast<WideChar>(0xDC00 + (v & 0x3FF)));
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one UTF-8 sequence at data[pos]; advances pos by the bytes consumed
// (at least one) and returns the code point or U+FFFD for an invalid sequence.
char32_t DecodeUtf8(std::string_view data, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(data[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
    minimum = 0x10000;
  } else {
    ++pos;
    return kReplacementCharacter;
  }
  std::size_t i = 1;
  for (; i < length; ++i) {
    if (pos + i >= data.size() || (byte(pos + i) & 0xC0) != 0x80) break;
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  if (i < length) {
    pos += i;  // the bad sequence ends before the byte that broke it
    return kReplacementCharacter;
  }
  pos += length;
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacementCharacter;
  return cp;
}

}  // namespace

WideString Utf8ToWide(std::string_view utf8) {
  WideString out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) AppendUtf16(out, DecodeUtf8(utf8, pos));
  return out;
}

std::string WideToUtf8(WideStringView wide) {
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const char32_t unit = static_cast<char16_t>(wide[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size()) {
      const char32_t low = static_cast<char16_t>(wide[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? kReplacementCharacter : unit);
  }
  return out;
}

std::string_view FieldText(std::span<const std::uint8_t> field) {
  const auto nul = std::find(field.begin(), field.end(), std::uint8_t{0});
  return {reinterpret_cast<const char*>(field.data()), static_cast<std::size_t>(nul - field.begin())};
}

bool WriteFieldText(std::span<std::uint8_t> field, std::string_view text) {
  std::fill(field.begin(), field.end(), std::uint8_t{0});
  if (field.empty()) return text.empty();
  std::size_t count = std::min(text.size(), field.size() - 1);
  // Do not leave half a UTF-8 sequence behind when the text is cut.
  if (count < text.size()) {
    while (count > 0 && (static_cast<unsigned char>(text[count]) & 0xC0) == 0x80) --count;
  }
  std::memcpy(field.data(), text.data(), count);
  return count == text.size();
}

}  // namespace qfu
