#include "store/store_operations.h"

#include <cwchar>
#include <gtest/gtest.h>
#include <thread>
#include <utility>

#include "common/bytes.h"
#include "common/utf.h"
#include "store/enqueue.h"
#include "store/request_time.h"
#include "store/user_agent.h"
#include "support/test_messages.h"
#include "support/test_store.h"

namespace qfu::store {
namespace {

using test::NameField;
using test::SubmitMessage;

constexpr const wchar_t* kPruned[] = {value::kInitialRequest, value::kTargetPath, value::kCancelPending,
                                      value::kRequestTime};

// A final status deletes what only an active request needs, in the same write; the record a
// read fills is the reply's exact bytes.
TEST(SetRequestStatus, FirstWriteStoresIdentityAndFinalStatusPrunes) {
  test::TestStore store(L"Prune");
  auto& objects = store.objects();
  const auto full = SubmitMessage("Full").Instance(0x1A);
  ASSERT_EQ(SetRequestStatus(objects, full.span(), wire::kQueued, 0, true), 0u);
  ASSERT_EQ(SetTargetPath(objects, NameField(full), 0x1A, L"C:\\p.msi", 18), 0u);
  ASSERT_EQ(SetCancelPending(objects, NameField(full), 0x1A), 0u);
  ASSERT_EQ(RecordRequestTime(objects, NameField(full), 0x1A, store.clock().utc), 0u);
  ASSERT_EQ(SetRequestStatus(objects, full.span(), wire::kDownloadRetry, 12002, false), 0u);
  for (const wchar_t* name : kPruned) EXPECT_TRUE(store.Value(L"Full_0000001A", name)) << name;

  test::ReplyBuffer reply;
  reply.bytes.fill(0xEE);
  MessageCopy copy;
  ASSERT_EQ(ReadRequestStatus(objects, NameField(full), 0x1A, reply.record(), &copy), 0u);
  auto expected = test::StatusReply("Full", wire::kDownloadRetry, 12002, 0x1A);
  (void)WriteFieldText(expected.record().ui_name_field(), "Test Software");
  (void)WriteFieldText(expected.record().software_version_field(), "1.2.3.4");
  EXPECT_EQ(reply.Sent(), expected.Sent());
  EXPECT_TRUE(std::ranges::equal(copy.span(), full.bytes()));
  EXPECT_EQ(ReadStoredStatus(objects, NameField(full), 8).read, 2u);  // another instance: no key

  ASSERT_EQ(SetRequestStatus(objects, full.span(), wire::kCancelled, 0, false), 0u);
  for (const wchar_t* name : kPruned) EXPECT_FALSE(store.Value(L"Full_0000001A", name)) << name;
  EXPECT_EQ(ReadStoredStatus(objects, NameField(full), 0x1A).status, wire::kCancelled);
  // Names that would address the service key or a key below a request never reach the registry.
  EXPECT_EQ(SetRequestStatus(objects, SubmitMessage("a\\b").span(), wire::kDownloading, 0, false),
            DWORD{ERROR_INVALID_NAME});
  EXPECT_FALSE(store.Value(L"a", value::kUpdateStatus));
}

TEST(CancelRequest, RemovesAWaitingRecordMarksAHeldOneAndRefusesFinalOnes) {
  test::TestStore store(L"Cancel");
  auto& objects = store.objects();
  test::ReplyBuffer reply;
  const auto record = reply.record();
  const auto waiting = SubmitMessage("Waiting");
  ASSERT_NE(store.EnqueueAlone(waiting), nullptr);
  ASSERT_EQ(CancelRequest(objects, waiting.span(), record), wire::result::kDone);
  EXPECT_EQ(CancelRequest(objects, waiting.span(), record), wire::result::kCannotCancel);  // final now
  const auto held = SubmitMessage("Held");  // in progress, in the worker's held list
  ASSERT_EQ(SetRequestStatus(objects, held.span(), wire::kDownloading, 0, true), 0u);
  objects.held.PushBack(RequestRecord::Create(held.span()));
  (void)store.TakeUpdateEvent();
  ASSERT_EQ(CancelRequest(objects, held.span(), record), wire::result::kDone);
  EXPECT_EQ(record.update_status(), wire::kCancelRequested);
  EXPECT_EQ(store.Dword(L"Held", value::kCancelPending), 1u);
  EXPECT_TRUE(store.TakeUpdateEvent());
  EXPECT_EQ(CancelRequest(objects, SubmitMessage("Unknown").span(), record), wire::result::kCannotCancel);
  EXPECT_TRUE(store.MutexesAreFree());
}

// Stored texts with no terminator that fill the buffer are cut to end inside it; a user agent
// that leaves no room for its terminator leaves the buffer as it was.
TEST(RequestKeyValues, StringsEndInsideTheirBuffersAndTheUserAgentReadsBack) {
  test::TestStore store(L"Values");
  wchar_t path[kTargetPathCapacity + 1];  // the unit past the value is not NUL either
  std::wmemset(path, L'x', kTargetPathCapacity + 1);
  ASSERT_EQ(SetTargetPath(store.objects(), NameField(SubmitMessage("Paths")), 0, path, kTargetPathBytes), 0u);
  ASSERT_EQ(GetTargetPath(store.objects(), NameField(SubmitMessage("Paths")), 0, path, kTargetPathBytes), 0u);
  EXPECT_EQ(std::wcslen(path), kTargetPathCapacity - 1);
  const wchar_t* service_key = store.key().path().c_str();
  wchar_t agent[kUserAgentCapacity] = {};
  ASSERT_EQ(SetUserAgent(HKEY_LOCAL_MACHINE, service_key, L"Agent/2.0"), 0u);
  ASSERT_EQ(SetUserAgent(HKEY_LOCAL_MACHINE, service_key, std::wstring(kUserAgentCapacity, L'u').c_str()),
            0u);
  EXPECT_EQ(GetUserAgent(HKEY_LOCAL_MACHINE, service_key, agent, sizeof(agent)), DWORD{ERROR_MORE_DATA});
  EXPECT_STREQ(agent, L"");
}

// A thread that ended holding the registry mutex leaves it abandoned: the next wait takes it.
TEST(StoreLocks, AnAbandonedRegistryMutexIsTakenAndReleased) {
  test::TestStore store(L"Abandoned");
  std::thread([&] { ::WaitForSingleObject(store.objects().registry_mutex.get(), INFINITE); }).join();
  ASSERT_EQ(SetRequestStatus(store.objects(), SubmitMessage("Orphan").span(), wire::kDownloading, 5, false),
            0u);
  EXPECT_EQ(store.Dword(L"Orphan", value::kSystemErrorCode), 5u);
  EXPECT_TRUE(store.MutexesAreFree());
}

}  // namespace
}  // namespace qfu::store
