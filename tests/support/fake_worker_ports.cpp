#include "support/fake_worker_ports.h"

#include <strsafe.h>

#include <gtest/gtest.h>

#include "common/last_error.h"
#include "common/utf.h"
#include "store/request_key.h"
#include "store/store_operations.h"

namespace qfu::test {

bool FakeWorld::InstalledVersion(std::span<wchar_t> buffer) {
  Call("version");
  return !version.empty() && ::StringCchCopyW(buffer.data(), buffer.size(), version.c_str()) == S_OK;
}

DWORD FakeWorld::ChoosePackagePath(const wchar_t* request_name, const wchar_t*, std::span<wchar_t> path) {
  const std::wstring chosen = PackagePathOf(WideToUtf8(request_name));
  return ::StringCchCopyW(path.data(), path.size(), chosen.c_str()) == S_OK ? 0 : ERROR_FILENAME_EXCED_RANGE;
}

DWORD FakeWorld::DownloadPackage(const wchar_t*, const wchar_t* package_path, bool) {
  Call("download");
  if (download_result != ERROR_FILE_NOT_FOUND) disk.insert(package_path);
  if (download_result == worker::kDownloadStopped) stop = true;
  return download_result;
}

DWORD FakeWorld::Lock(const wchar_t*, UniqueFile& held) {
  Call("lock");
  if (lock_result != ERROR_SUCCESS) return lock_result;
  // The write end of a fresh pipe stands for the held package.
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) return LastError();
  read_end_.reset(read_end);
  held.reset(write_end);
  return ERROR_SUCCESS;
}

WorkerBench::WorkerBench(const std::wstring& name)
    : store(name), stop_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  ProcessObjects& objects = store.objects();
  objects.status_reporter = &statuses;
  objects.package_files = &world;
  store.config().resource_module = ::GetModuleHandleW(nullptr);
  worker::WorkerPorts ports{.clock = objects.clock,
                            .client_api = &world,
                            .downloader = &world,
                            .installer = &world,
                            .pause = &world,
                            .system_state = &world,
                            .ui = &world,
                            .restart = &world,
                            .signature = &world,
                            .package_lock = &world,
                            .evaluate_window = [this](const wire::RequestMessage&, Clock&) { return window; },
                            .package_hasher = &world};
  worker_ = std::make_unique<worker::QueueWorker>(objects, store.config(), stop_event.get(), ports);
}

store::RequestRecord* WorkerBench::Put(const wire::MessageWriter& message, wire::UpdateStatus status,
                                       std::uint32_t detail) {
  store::RequestRecord* record = store.EnqueueAlone(message);
  if (record == nullptr) return nullptr;
  (void)store.TakeUpdateEvent();
  const std::wstring path = PackagePathOf(wire::RequestMessage(message.span()).request_name());
  (void)::StringCchCopyW(record->target_path, store::kTargetPathCapacity, path.c_str());
  if (status != wire::kQueued) {
    EXPECT_EQ(store::SetRequestStatus(objects(), message.span(), status, detail, false), 0u);
  }
  record->due_tick = {};
  statuses.changes.clear();
  return record;
}

wire::UpdateStatus WorkerBench::Stored(std::string_view name, std::uint32_t instance) const {
  return wire::UpdateStatus{
      store.Dword(store::FormatRequestKeyName(Utf8ToWide(name), instance), store::value::kUpdateStatus)};
}

}  // namespace qfu::test
