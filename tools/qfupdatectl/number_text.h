#pragma once
// Numbers as the tools take them on their command lines.
#include <cstdint>
#include <optional>
#include <string_view>

namespace qfu::ctl {

// Returns the number written as decimal or as 0x-prefixed hexadecimal, or nothing when the
// text is empty, holds anything else, or exceeds 32 bits.
[[nodiscard]] std::optional<std::uint32_t> ParseNumber(std::string_view text);

}  // namespace qfu::ctl
