#pragma once
// Runs programs from tests under Wine and reads what they print, counts a process's threads,
// and waits for a condition against a deadline.
#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "common/handle.h"

namespace qfu::test {

struct ProcessResult {
  DWORD exit_code = 0xFFFFFFFF;
  std::string output;  // standard output and standard error
  bool finished = false;
};

// A program started in the background, its standard output and standard error read into one
// text while it runs. A program still running when the object goes is terminated.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::wstring& command_line);
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  ~BackgroundProcess();

  [[nodiscard]] bool started() const { return process_.valid(); }
  // Reads the output until it holds text (true), the program ends or timeout_ms pass.
  [[nodiscard]] bool WaitForOutput(std::string_view text, DWORD timeout_ms);
  // Waits at most timeout_ms for the program to end (terminating it then).
  [[nodiscard]] ProcessResult Finish(DWORD timeout_ms);

 private:
  // Appends what the pipe holds now; false when nothing was there.
  bool ReadAvailable();
  // Reads the output until done() holds or the program ends (true), or timeout_ms pass (false).
  bool Pump(const std::function<bool()>& done, DWORD timeout_ms);

  UniqueHandle process_;
  UniqueHandle read_end_;
  std::string output_;
};

// Runs command_line, waiting at most timeout_ms (a program still running then is terminated).
[[nodiscard]] ProcessResult RunProcess(const std::wstring& command_line, DWORD timeout_ms = 30000);

// Full path of a program built beside the running test executable (file_name may name a
// subfolder: L"signed\\qfupdatectl.exe").
[[nodiscard]] std::wstring BuiltProgram(const wchar_t* file_name);
// The command line that runs that built program (quoted) with the arguments.
[[nodiscard]] std::wstring BuiltCommand(const wchar_t* file_name, const std::wstring& arguments);

// Full path of a file the build made in the fixtures folder (a missing one fails the test).
[[nodiscard]] std::wstring Fixture(const wchar_t* file_name);

// Removes the package's product if it is installed; false when msiexec did not end in time.
[[nodiscard]] bool UninstallPackage(const std::wstring& package, DWORD timeout_ms);
// Expects the run to have finished with exit_code, its output holding each of the lines.
void ExpectRun(const ProcessResult& run, DWORD exit_code, std::initializer_list<std::string_view> lines);
// The number of threads of that process now (0 when it cannot be read).
[[nodiscard]] std::size_t CountThreads(DWORD process_id);
// Checks condition every 20 ms until it holds or timeout_ms have passed; true when it held.
[[nodiscard]] bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms);

}  // namespace qfu::test
