#include "support/test_store.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "common/handle.h"
#include "ipc/dispatcher.h"
#include "store/enqueue.h"
#include "store/request_key.h"
#include "wire/update_status.h"

namespace qfu::test {

// The process id keeps the same test run by several processes at once apart.
TestStore::TestStore(const std::wstring& name)
    : redirect_(L"Store" + name),
      key_(store::kServiceKeyPath, KEY_WOW64_64KEY, ScratchKey::Place::kRedirectedMachine),
      status_pipe_(L"\\\\.\\pipe\\qfupdatetest_status_" + name + L"_" +
                   std::to_wstring(::GetCurrentProcessId())) {
  objects_.status_reporter = &status_pipe_;
  objects_.package_files = &package_files_;
  objects_.clock = &clock_;
  objects_.queue_mutex.reset(::CreateMutexW(nullptr, FALSE, nullptr));
  objects_.cancel_mutex.reset(::CreateMutexW(nullptr, FALSE, nullptr));
  objects_.registry_mutex.reset(::CreateMutexW(nullptr, FALSE, nullptr));
  objects_.update_event.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));  // auto-reset, as in service
  config_.user_agent_mutex.reset(::CreateMutexW(nullptr, FALSE, nullptr));
  EXPECT_TRUE(objects_.queue_mutex && objects_.cancel_mutex && objects_.registry_mutex &&
              objects_.update_event && config_.user_agent_mutex);
}

std::optional<StoredValue> TestStore::Value(const std::wstring& request_key, const wchar_t* name) const {
  UniqueHkey key;
  const std::wstring path = key_.path() + L"\\" + request_key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return std::nullopt;
  StoredValue value;
  DWORD size = 0;
  if (::RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
    return std::nullopt;
  value.bytes.resize(size);
  if (::RegQueryValueExW(key.get(), name, nullptr, &value.type, value.bytes.data(), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  value.bytes.resize(size);
  return value;
}

std::size_t TestStore::RequestCount() {
  std::size_t count = 0;
  objects_.requests.ForEach([&](store::RequestRecord&) { return ++count, true; });
  return count;
}

bool TestStore::TakeUpdateEvent() {
  return ::WaitForSingleObject(objects_.update_event.get(), 0) == WAIT_OBJECT_0;
}

std::uint32_t TestStore::Dword(const std::wstring& request_key, const wchar_t* name) const {
  const auto value = Value(request_key, name);
  return value && value->type == REG_DWORD && value->bytes.size() == 4 ? ReadU32(value->bytes, 0) : 0xDEAD;
}

bool MutexesAreFree(std::initializer_list<HANDLE> mutexes) {
  bool free = false;
  std::thread([&] {
    const std::vector<HANDLE> all(mutexes);
    free = ::WaitForMultipleObjects(static_cast<DWORD>(all.size()), all.data(), TRUE, 0) == WAIT_OBJECT_0;
    for (HANDLE mutex : all) {
      if (free) ::ReleaseMutex(mutex);
    }
  }).join();
  return free;
}

bool TestStore::MutexesAreFree() {
  return test::MutexesAreFree(
      {objects_.cancel_mutex.get(), objects_.queue_mutex.get(), objects_.registry_mutex.get()});
}

store::RequestRecord* TestStore::EnqueueAlone(const wire::MessageWriter& message) {
  objects_.requests.Clear();
  std::array<std::uint8_t, wire::kStatusRecordSize> bytes{};
  const wire::StatusRecord record(bytes);
  EXPECT_EQ(store::EnqueueRequest(objects_, message.span(), {}, record), wire::result::kDone);
  EXPECT_EQ(record.update_status(), wire::kQueued);
  store::RequestRecord* found = nullptr;
  objects_.requests.ForEach([&](store::RequestRecord& entry) { return found = &entry, true; });
  return found;
}

ReplyBuffer TestStore::Dispatch(const wire::MessageWriter& message) {
  ReplyBuffer reply;
  reply.bytes.fill(0xCC);
  ipc::Dispatch(objects_, config_, message.span(), reply.bytes);
  return reply;
}

}  // namespace qfu::test
