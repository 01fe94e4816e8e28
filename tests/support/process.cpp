#include "support/process.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>
#include <vector>

namespace qfu::test {

// How often a waiting test looks at the program's output and state.
constexpr DWORD kPollMs = 20;

BackgroundProcess::BackgroundProcess(const std::wstring& command_line) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  UniqueHandle write_end;
  if (!::CreatePipe(read_end_.put(), write_end.put(), &inheritable, 0)) return;
  ::SetHandleInformation(read_end_.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = write_end.get();
  startup.hStdError = write_end.get();
  PROCESS_INFORMATION info = {};
  std::vector<wchar_t> mutable_line(command_line.begin(), command_line.end());
  mutable_line.push_back(L'\0');
  if (!::CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
    return;
  }
  process_.reset(info.hProcess);
  ::CloseHandle(info.hThread);
  // write_end closes here: only the child holds it now, so the reads end with the child.
}

BackgroundProcess::~BackgroundProcess() {
  if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
    ::TerminateProcess(process_.get(), 1);
}

bool BackgroundProcess::ReadAvailable() {
  DWORD available = 0;
  if (!::PeekNamedPipe(read_end_.get(), nullptr, 0, nullptr, &available, nullptr) || available == 0)
    return false;
  char chunk[512];
  DWORD got = 0;
  if (!::ReadFile(read_end_.get(), chunk, sizeof(chunk), &got, nullptr) || got == 0) return false;
  output_.append(chunk, got);
  return true;
}

bool BackgroundProcess::WaitForOutput(std::string_view text, DWORD timeout_ms) {
  return Pump([&] { return output_.find(text) != std::string::npos; }, timeout_ms) &&
         output_.find(text) != std::string::npos;
}

ProcessResult BackgroundProcess::Finish(DWORD timeout_ms) {
  ProcessResult result;
  if (Pump([] { return false; }, timeout_ms)) {
    result.finished = true;
    ::GetExitCodeProcess(process_.get(), &result.exit_code);
  } else if (started()) {
    ::TerminateProcess(process_.get(), 1);
  }
  result.output = output_;
  return result;
}

bool BackgroundProcess::Pump(const std::function<bool()>& done, DWORD timeout_ms) {
  if (!started()) return false;
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    while (ReadAvailable()) {
    }
    if (done()) return true;
    if (::WaitForSingleObject(process_.get(), kPollMs) == WAIT_OBJECT_0) {
      while (ReadAvailable()) {
      }  // what is left after the exit
      return true;
    }
    if (::GetTickCount64() > deadline) return false;
  }
}

bool UninstallPackage(const std::wstring& package, DWORD timeout_ms) {
  return RunProcess(L"msiexec.exe /x \"" + package + L"\" /qn", timeout_ms).finished;
}

ProcessResult RunProcess(const std::wstring& command_line, DWORD timeout_ms) {
  BackgroundProcess process(command_line);
  return process.Finish(timeout_ms);
}

std::wstring BuiltProgram(const wchar_t* file_name) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  directory.erase(directory.find_last_of(L"\\/") + 1);
  return directory + file_name;
}

std::wstring BuiltCommand(const wchar_t* file_name, const std::wstring& arguments) {
  return L"\"" + BuiltProgram(file_name) + L"\" " + arguments;
}

std::wstring Fixture(const wchar_t* file_name) {
  std::wstring path = BuiltProgram((std::wstring(L"fixtures\\") + file_name).c_str());
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    ADD_FAILURE() << "missing fixture " << std::string(path.begin(), path.end());
  }
  return path;
}

void ExpectRun(const ProcessResult& run, DWORD exit_code, std::initializer_list<std::string_view> lines) {
  ASSERT_TRUE(run.finished) << run.output;
  EXPECT_EQ(run.exit_code, exit_code) << run.output;
  for (std::string_view line : lines) {
    EXPECT_NE(run.output.find(std::string(line) + "\n"), std::string::npos) << line << " in\n" << run.output;
  }
}

std::size_t CountThreads(DWORD process_id) {
  UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  std::size_t count = 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
       more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == process_id) ++count;
  }
  return count;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeout_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (!condition()) {
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(kPollMs);
  }
  return true;
}

}  // namespace qfu::test
