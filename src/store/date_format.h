#pragma once
// Date and time texts for the system default locale, as "TimeStamp" and the prompts show them.
#include <windows.h>

#include <cstddef>

namespace qfu::store {

// The locale the date and time texts are formatted for; the user default stands in when it
// is refused.
inline constexpr const wchar_t* kSystemDefaultLocale = L"!x-sys-default-locale";
inline constexpr std::size_t kDateTimePartCapacity = 32;   // units for the date, and for the time
inline constexpr std::size_t kDateTimeTextCapacity = 128;  // units for "date time"

// Writes "date time" (the locale's short date, one space, the time without seconds) for
// local_time, or for the current local time when it is null, into buffer of units UTF-16
// units. Returns the HRESULT of the formatting: 0, or 0x8007007A when the text was cut.
[[nodiscard]] HRESULT FormatLocalDateTime(const SYSTEMTIME* local_time, wchar_t* buffer, std::size_t units);

}  // namespace qfu::store
