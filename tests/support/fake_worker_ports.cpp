#include "support/fake_worker_ports.h"

#include <strsafe.h>

#include "wire/message.h"

namespace qfu::test {

FakeDownloader::FakeDownloader() : called_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

DWORD FakeDownloader::DownloadPackage(const wchar_t* request_name, const wchar_t* url,
                                      std::span<wchar_t> target_path) {
  const int call = calls++;
  if (call == 0) {
    first_call_tick = ::GetTickCount64();
    ::SetEvent(called_.get());
  }
  last_name = request_name;
  last_url = url;
  (void)::StringCchCopyW(target_path.data(), target_path.size(), package_path.c_str());
  if (during) during();
  return static_cast<std::size_t>(call) < results.size() ? results[static_cast<std::size_t>(call)] : ERROR_SUCCESS;
}

bool FakeDownloader::WaitForCall(DWORD timeout_ms) const {
  return ::WaitForSingleObject(called_.get(), timeout_ms) == WAIT_OBJECT_0;
}

DWORD FakeInstaller::RunInstaller(const wchar_t* package_path, const wchar_t* arguments) {
  ++calls;
  last_path = package_path;
  last_arguments = arguments != nullptr ? arguments : L"";
  return result;
}

bool FakePause::Sleep(DWORD milliseconds) {
  ++sleeps;
  last_sleep_ms = milliseconds;
  if (stop_in_sleep) stop = true;
  return !stop;
}

void StatusRecorder::StatusChanged(wire::Bytes message, std::uint32_t status, std::uint32_t detail) noexcept {
  changes.push_back({std::string(wire::RequestMessage(message).request_name()), status, detail});
}

std::vector<std::uint32_t> StatusRecorder::Statuses() const {
  std::vector<std::uint32_t> statuses;
  for (const Change& change : changes) statuses.push_back(change.status);
  return statuses;
}

}  // namespace qfu::test
