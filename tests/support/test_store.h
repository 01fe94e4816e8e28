#pragma once
// The process-wide objects and the agent's configuration for a test of the store, under a
// registry redirect, with unnamed mutexes and update event, a status pipe of its own and a fake clock.
#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "ipc/status_notification.h"
#include "package/package_files.h"
#include "store/agent_config.h"
#include "store/process_objects.h"
#include "support/fake_clock.h"
#include "support/scratch_key.h"
#include "support/test_messages.h"
#include "wire/message_writer.h"

namespace qfu::test {

struct StoredValue {
  DWORD type = REG_NONE;
  std::vector<std::uint8_t> bytes;
};

// True when another thread can take every one of the mutexes at once (and lets them go again).
[[nodiscard]] bool MutexesAreFree(std::initializer_list<HANDLE> mutexes);

class TestStore {
 public:
  // name: unique per test; it names the redirect and the status pipe.
  explicit TestStore(const std::wstring& name);
  TestStore(const TestStore&) = delete;
  TestStore& operator=(const TestStore&) = delete;

  [[nodiscard]] ProcessObjects& objects() { return objects_; }
  [[nodiscard]] AgentConfig& config() { return config_; }
  [[nodiscard]] FakeClock& clock() { return clock_; }
  // The service key (under the redirected HKEY_LOCAL_MACHINE).
  [[nodiscard]] ScratchKey& key() { return key_; }

  // The value of a request key (by key name, e.g. L"Client_0000001A"), or nothing.
  [[nodiscard]] std::optional<StoredValue> Value(const std::wstring& request_key, const wchar_t* name) const;
  [[nodiscard]] std::size_t RequestCount();
  // The DWORD value of a request key, or 0xDEAD when it is absent or not a 4-byte REG_DWORD.
  [[nodiscard]] std::uint32_t Dword(const std::wstring& request_key, const wchar_t* name) const;
  // True when the update event is signalled (taking the signal).
  [[nodiscard]] bool TakeUpdateEvent();
  // True when another thread can take the cancel, queue and registry mutexes at once.
  [[nodiscard]] bool MutexesAreFree();
  // Empties the request list, enqueues the message as new, expects it queued and returns its
  // record, the only one in the list (null when none).
  store::RequestRecord* EnqueueAlone(const wire::MessageWriter& message);
  // Dispatches the message as a connection of the agent would, into a reply whose every byte
  // starts as 0xCC, so that a field the dispatcher leaves unwritten shows.
  [[nodiscard]] ReplyBuffer Dispatch(const wire::MessageWriter& message);
  [[nodiscard]] wire::ResultCode Result(const wire::MessageWriter& message) {
    return Dispatch(message).record().result_code();
  }

 private:
  RegistryRedirect redirect_;
  ScratchKey key_;
  FakeClock clock_;
  ipc::StatusPipeReporter status_pipe_;
  ProcessObjects objects_;
  AgentConfig config_;
  package::PackageFiles package_files_;
};

}  // namespace qfu::test
