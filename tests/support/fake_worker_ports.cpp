#include "support/fake_worker_ports.h"

#include <strsafe.h>

#include "wire/message.h"
#include "wire/ui_prompt.h"

namespace qfu::test {

FakeDownloader::FakeDownloader() : called_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

DWORD FakeDownloader::ChoosePackagePath(const wchar_t* request_name, const wchar_t*,
                                        std::span<wchar_t> target_path) {
  last_name = request_name;
  return ::StringCchCopyW(target_path.data(), target_path.size(), package_path.c_str()) == S_OK
             ? ERROR_SUCCESS
             : ERROR_FILENAME_EXCED_RANGE;
}

DWORD FakeDownloader::DownloadPackage(const wchar_t* url, const wchar_t*, bool resume) {
  const int call = calls++;
  if (call == 0) {
    first_call_tick = ::GetTickCount64();
    ::SetEvent(called_.get());
  }
  last_url = url;
  last_resume = resume;
  if (during) during();
  return static_cast<std::size_t>(call) < results.size() ? results[static_cast<std::size_t>(call)]
                                                         : ERROR_SUCCESS;
}

bool FakeDownloader::WaitForCall(DWORD timeout_ms) const {
  return ::WaitForSingleObject(called_.get(), timeout_ms) == WAIT_OBJECT_0;
}

DWORD FakeInstaller::RunInstaller(const wchar_t* package_path, const wchar_t* arguments) {
  ++calls;
  last_path = package_path;
  last_arguments = arguments != nullptr ? arguments : L"";
  if (during) during();
  return result;
}

bool FakePause::Sleep(DWORD milliseconds) {
  ++sleeps;
  last_sleep_ms = milliseconds;
  if (stop_in_sleep) stop = true;
  return !stop;
}

std::uint32_t FakeUiChannel::SendUiPrompt(WideStringView text, WideStringView caption, std::uint32_t style,
                                          std::uint32_t timeout_ms) {
  const std::size_t index = prompts.size();
  prompts.push_back({std::wstring(text), std::wstring(caption), style, timeout_ms});
  if (during) during();
  return index < replies.size() ? replies[index] : wire::ui_reply::kCancel;
}

DWORD FakeMachineRestart::RestartMachine() {
  ++calls;
  if (during) during();
  return result;
}

HRESULT FakeSignatureVerifier::Verify(const wchar_t* path, bool skip_publisher_check) const {
  ++calls;
  last_path = path;
  last_skip = skip_publisher_check;
  if (during) during();
  return result;
}

DWORD FakePackageLock::Lock(const wchar_t* path, UniqueFile& held) {
  ++calls;
  last_path = path;
  if (result != ERROR_SUCCESS) return result;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) return ::GetLastError();
  read_end_.reset(read_end);
  held.reset(write_end);
  return ERROR_SUCCESS;
}

bool FakePackageLock::IsHeld() const {
  // Peeking at the read end fails (broken pipe) once the write end is closed.
  DWORD available = 0;
  return read_end_ && ::PeekNamedPipe(read_end_.get(), nullptr, 0, nullptr, &available, nullptr);
}

DWORD FakePackageHasher::HashPackage(HANDLE, wire::Sha256Digest& out) {
  ++calls;
  out = digest;
  return result;
}

void StatusRecorder::StatusChanged(wire::Bytes message, wire::UpdateStatus status,
                                   std::uint32_t detail) noexcept {
  changes.push_back({std::string(wire::RequestMessage(message).request_name()), status, detail});
}

std::vector<wire::UpdateStatus> StatusRecorder::Statuses() const {
  std::vector<wire::UpdateStatus> statuses;
  for (const Change& change : changes) statuses.push_back(change.status);
  return statuses;
}

}  // namespace qfu::test
