#pragma once
// UTF-8 <-> UTF-16 conversion, the one converter used everywhere. Invalid input (bad
// UTF-8 sequences, lone surrogates) becomes U+FFFD, as Windows' own conversion does.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/wide.h"

namespace qfu {

// Returns the UTF-16 form of the UTF-8 bytes (no terminator is read or added).
[[nodiscard]] WideString Utf8ToWide(std::string_view utf8);

// Returns the UTF-8 form of the UTF-16 text.
[[nodiscard]] std::string WideToUtf8(WideStringView wide);

// Returns the text of a fixed-size or length-counted field: its bytes up to the first NUL,
// or all of them when the field holds none. Never reads past the field.
[[nodiscard]] std::string_view FieldText(std::span<const std::uint8_t> field);

// Writes text into a fixed field: as many whole UTF-8 bytes as fit before a terminating
// NUL, the rest of the field NUL-padded. Returns false when the text had to be cut.
[[nodiscard]] bool WriteFieldText(std::span<std::uint8_t> field, std::string_view text);

}  // namespace qfu
