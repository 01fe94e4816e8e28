#pragma once
// Harness for tests of the store when its registry mutex fails: a faulty handle put in place
// of the store's own for a scope, and every value of a request key to compare before and after.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/handle.h"
#include "store/process_objects.h"
#include "support/test_store.h"
#include "wire/message_writer.h"

namespace qfu::test {

// Every value a request key can hold, in a fixed order: each as its type and bytes, or
// nothing when absent.
using RequestKeyValues = std::vector<std::optional<std::pair<DWORD, std::vector<std::uint8_t>>>>;
[[nodiscard]] RequestKeyValues RequestKeySnapshot(const TestStore& store, const std::wstring& request_key);

// Stores the message as a queued request (a first write) with every further value a request
// key can hold: a target path, a pending cancel and the request time (the store's clock).
// True when every write succeeded.
[[nodiscard]] bool StoreEveryValue(TestStore& store, const wire::MessageWriter& message);

// True when the request key (its key name, e.g. L"Client") exists under the store's key.
[[nodiscard]] bool RequestKeyExists(TestStore& store, const std::wstring& request_key);

// A second handle to the mutex with no right to wait on it (MUTANT_QUERY_STATE only); empty
// when it cannot be made.
[[nodiscard]] UniqueHandle WithoutWaitRight(HANDLE mutex);

// Puts a registry mutex handle that every wait refuses in place of the store's own for the
// scope, and puts the store's own back afterwards. The faulty handle is not closed.
class FaultyRegistryMutex {
 public:
  FaultyRegistryMutex(ProcessObjects& objects, HANDLE faulty);
  FaultyRegistryMutex(const FaultyRegistryMutex&) = delete;
  FaultyRegistryMutex& operator=(const FaultyRegistryMutex&) = delete;
  ~FaultyRegistryMutex();

 private:
  ProcessObjects& objects_;
  HANDLE own_;
};

}  // namespace qfu::test
