#include "store/date_format.h"

#include <strsafe.h>

namespace qfu::store {
namespace {

// Formats one part (date or time) for the system default locale, or for the user default
// when that is refused (as some systems do), so that the text is never empty.
template <typename Format>
void FormatPart(Format&& format, wchar_t* part) {
  if (format(kSystemDefaultLocale, part) == 0) (void)format(LOCALE_NAME_USER_DEFAULT, part);
}

}  // namespace

HRESULT FormatLocalDateTime(const SYSTEMTIME* local_time, wchar_t* buffer, std::size_t units) {
  wchar_t date[kDateTimePartCapacity] = {};
  wchar_t time[kDateTimePartCapacity] = {};
  FormatPart(
      [&](const wchar_t* locale, wchar_t* out) {
        // Flags 0 and no picture: the locale's short date.
        return ::GetDateFormatEx(locale, 0, local_time, nullptr, out, kDateTimePartCapacity, nullptr);
      },
      date);
  FormatPart(
      [&](const wchar_t* locale, wchar_t* out) {
        return ::GetTimeFormatEx(locale, TIME_NOSECONDS, local_time, nullptr, out, kDateTimePartCapacity);
      },
      time);
  return ::StringCchPrintfW(buffer, units, L"%ls %ls", date, time);
}

}  // namespace qfu::store
