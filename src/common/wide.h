#pragma once
// UTF-16 text type shared by the portable core and the Win32 shell: on Windows it is
// wchar_t, so the core's strings go to Windows calls as they are; elsewhere char16_t.
#include <string>
#include <string_view>

namespace qfu {

#ifdef _WIN32
using WideChar = wchar_t;
#define QFU_WIDE(text) L##text
#else
using WideChar = char16_t;
#define QFU_WIDE(text) u##text
#endif
static_assert(sizeof(WideChar) == 2, "UTF-16 code units are 16 bits");

using WideString = std::basic_string<WideChar>;
using WideStringView = std::basic_string_view<WideChar>;

}  // namespace qfu
