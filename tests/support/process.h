#pragma once
// Runs programs from tests under Wine and reads what they print.
#include <windows.h>

#include <string>

namespace qfu::test {

struct ProcessResult {
  DWORD exit_code = 0xFFFFFFFF;
  std::string output;  // standard output and standard error
  bool finished = false;
};

// Runs command_line (the program named first), waiting at most timeout_ms; a program still
// running then is terminated and the result says it did not finish.
[[nodiscard]] ProcessResult RunProcess(const std::wstring& command_line, DWORD timeout_ms = 30000);

// Full path of a program built beside the running test executable.
[[nodiscard]] std::wstring BuiltProgram(const wchar_t* file_name);

}  // namespace qfu::test
