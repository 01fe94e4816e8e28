#include "console_output.h"

#include <windows.h>

#include <mutex>

#include "common/utf.h"

namespace qfu::ctl {
namespace {

// The status listener prints from several threads; a line is never interleaved with another.
// Never destroyed, so that a thread still printing while the process exits finds it intact.
std::mutex& OutputMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

void Print(DWORD which, std::string_view utf8) {
  const std::lock_guard lock(OutputMutex());
  const HANDLE handle = ::GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (::GetConsoleMode(handle, &mode)) {
    // A console shows UTF-16 text correctly whatever its code page.
    const WideString wide = Utf8ToWide(utf8);
    DWORD written = 0;
    ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  while (!utf8.empty()) {
    DWORD written = 0;
    if (!::WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr) || written == 0)
      return;
    utf8.remove_prefix(written);
  }
}

}  // namespace

void PrintOut(std::string_view utf8) { Print(STD_OUTPUT_HANDLE, utf8); }
void PrintError(std::string_view utf8) { Print(STD_ERROR_HANDLE, utf8); }

}  // namespace qfu::ctl
