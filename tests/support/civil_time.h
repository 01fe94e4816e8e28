#pragma once
// Local dates and times as FILETIME values on the Gregorian calendar, without Windows: the
// fake clock's arithmetic, so that it runs natively too.
#include <cstdint>
#include <optional>

#include "common/local_time.h"

namespace qfu::test {

// 100-nanosecond units in one hour.
inline constexpr std::int64_t kFileTimeUnitsPerHour = 36'000'000'000LL;

// The FILETIME value (100-ns units since 1 January 1601) of the fields, read as they are, or
// nothing when they name no moment (IsValidLocalDateTime). The day of the week is ignored.
[[nodiscard]] std::optional<std::uint64_t> FileTimeOf(const LocalDateTime& time) noexcept;

// The fields of a FILETIME value, day of the week included.
[[nodiscard]] LocalDateTime DateTimeOf(std::uint64_t file_time) noexcept;

}  // namespace qfu::test
