#include "support/process.h"

#include <vector>

#include "common/handle.h"

namespace qfu::test {

ProcessResult RunProcess(const std::wstring& command_line, DWORD timeout_ms) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  UniqueHandle read_end;
  UniqueHandle write_end;
  if (!::CreatePipe(read_end.put(), write_end.put(), &inheritable, 0)) return result;
  ::SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = write_end.get();
  startup.hStdError = write_end.get();
  PROCESS_INFORMATION info = {};
  std::vector<wchar_t> mutable_line(command_line.begin(), command_line.end());
  mutable_line.push_back(L'\0');
  if (!::CreateProcessW(nullptr, mutable_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
    return result;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  write_end.reset();  // only the child holds the write end now, so the read ends with it

  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  char chunk[512];
  for (;;) {
    DWORD available = 0;
    if (::PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
      DWORD got = 0;
      if (::ReadFile(read_end.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) result.output.append(chunk, got);
      continue;
    }
    if (::WaitForSingleObject(process.get(), 20) == WAIT_OBJECT_0) {
      // Drain what is left after the exit.
      while (::PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        DWORD got = 0;
        if (!::ReadFile(read_end.get(), chunk, sizeof(chunk), &got, nullptr) || got == 0) break;
        result.output.append(chunk, got);
      }
      result.finished = true;
      ::GetExitCodeProcess(process.get(), &result.exit_code);
      return result;
    }
    if (::GetTickCount64() > deadline) {
      ::TerminateProcess(process.get(), 1);
      return result;
    }
  }
}

std::wstring BuiltProgram(const wchar_t* file_name) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  directory.erase(directory.find_last_of(L"\\/") + 1);
  return directory + file_name;
}

}  // namespace qfu::test
