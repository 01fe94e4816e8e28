// The store when the registry mutex cannot be waited on: every operation on a request key
// returns the wait's Win32 error and writes nothing.
#include "support/store_faults.h"

#include <array>
#include <functional>
#include <gtest/gtest.h>
#include <utility>

#include "common/bytes.h"
#include "common/handle.h"
#include "store/enqueue.h"
#include "store/request_time.h"
#include "store/store_operations.h"
#include "support/test_messages.h"
#include "support/test_store.h"
#include "wire/update_status.h"

namespace qfu::store {
namespace {

using Record = std::array<std::uint8_t, wire::kStatusRecordSize>;

TEST(StoreFaults, AFailedRegistryMutexWaitIsReturnedAndNothingIsWritten) {
  test::TestStore store(L"FaultyRegistryMutex");
  ProcessObjects& objects = store.objects();
  const auto stored = test::SubmitMessage("Stored");
  const auto fresh = test::SubmitMessage("Fresh");
  const wire::Bytes name = wire::RequestMessage(stored.span()).request_name_field();
  ASSERT_TRUE(test::StoreEveryValue(store, stored));
  const auto before = test::RequestKeySnapshot(store, L"Stored");

  const UniqueHandle no_synchronize = test::WithoutWaitRight(objects.registry_mutex.get());
  ASSERT_TRUE(no_synchronize.valid());
  const struct {
    const char* what;
    HANDLE mutex;
    DWORD error;
  } faults[] = {
      {"no handle", nullptr, ERROR_INVALID_HANDLE},
      {"a handle never issued", reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x0FFFFFFC)),
       ERROR_INVALID_HANDLE},
      {"no right to wait", no_synchronize.get(), ERROR_ACCESS_DENIED},
  };

  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.what);
    test::FaultyRegistryMutex faulty(objects, fault.mutex);
    Record record{};
    FileTimeUnits request_time{1};
    wchar_t text[kTargetPathCapacity] = L"left over";
    bool cancel_pending = true;
    const std::pair<const char*, std::function<DWORD()>> operations[] = {
        {"SetRequestStatus first write",
         [&] { return SetRequestStatus(objects, fresh.span(), wire::kQueued, 0, true); }},
        {"SetRequestStatus",
         [&] { return SetRequestStatus(objects, stored.span(), wire::kInstallFailed, 1603, false); }},
        {"SetRequestStatus final",
         [&] { return SetRequestStatus(objects, stored.span(), wire::kCancelled, 0, false); }},
        {"ReadRequestStatus",
         [&] { return ReadRequestStatus(objects, name, 0, wire::StatusRecord(record)); }},
        {"ReadCancelPending", [&] { return ReadCancelPending(objects, name, 0, cancel_pending); }},
        {"SetCancelPending", [&] { return SetCancelPending(objects, name, 0); }},
        {"SetTargetPath",
         [&] { return SetTargetPath(objects, name, 0, L"C:\\other.msi", kTargetPathBytes); }},
        {"GetTargetPath", [&] { return GetTargetPath(objects, name, 0, text, kTargetPathBytes); }},
        {"RecordRequestTime",
         [&] { return RecordRequestTime(objects, name, 0, store.clock().utc + FileTimeUnits{1}); }},
        {"ReadRequestTime",
         [&] { return ReadRequestTime(objects, name, 0, &request_time, text, kTimeStampBytes); }},
    };
    for (const auto& [operation, run] : operations) EXPECT_EQ(run(), fault.error) << operation;
    EXPECT_EQ(ReadU32(record, wire::kUpdateStatusAt), 0u);
    EXPECT_EQ(request_time.count(), 0u);
    EXPECT_EQ(text[0], L'\0');
    EXPECT_FALSE(cancel_pending);

    // A submit's enqueue lists nothing and reports the wait's error instead of success.
    EXPECT_EQ(EnqueueRequest(objects, fresh.span(), {}, wire::StatusRecord(record)),
              wire::result::kCannotCarryOut);
    EXPECT_EQ(ReadU32(record, wire::kUpdateStatusAt), 0u);
    EXPECT_EQ(ReadU32(record, wire::kSystemErrorCodeAt), fault.error);
    EXPECT_EQ(store.RequestCount(), 0u);
  }

  EXPECT_EQ(test::RequestKeySnapshot(store, L"Stored"), before);
  EXPECT_FALSE(test::RequestKeyExists(store, L"Fresh"));
}

}  // namespace
}  // namespace qfu::store
