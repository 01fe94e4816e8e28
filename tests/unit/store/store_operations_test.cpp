#include "store/store_operations.h"

#include <cwchar>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <thread>

#include "common/bytes.h"
#include "common/utf.h"
#include "store/enqueue.h"
#include "store/request_time.h"
#include "store/user_agent.h"
#include "support/test_messages.h"
#include "support/test_store.h"
#include "wire/update_status.h"

namespace qfu::store {
namespace {

using test::NameField;
using test::SubmitMessage;

TEST(SetRequestStatus, FirstWriteStoresIdentityAndFinalStatusPrunes) {
  test::TestStore store(L"Prune");
  auto& objects = store.objects();
  const auto full = SubmitMessage("Full").Instance(0x1A);
  const wchar_t* key = L"Full_0000001A";
  ASSERT_EQ(SetRequestStatus(objects, full.span(), wire::kQueued, 0, true),
            0u);  // read back: ReadRequestStatus
  const wchar_t path[kTargetPathCapacity] = L"C:\\ProgramData\\pkg\\p.msi";
  ASSERT_EQ(SetTargetPath(objects, NameField(full), 0x1A, path, kTargetPathBytes), 0u);
  ASSERT_EQ(SetCancelPending(objects, NameField(full), 0x1A), 0u);
  ASSERT_EQ(RecordRequestTime(objects, NameField(full), 0x1A, store.clock().utc), 0u);
  const wchar_t* pruned[] = {value::kInitialRequest, value::kTargetPath, value::kCancelPending,
                             value::kRequestTime};
  ASSERT_EQ(SetRequestStatus(objects, full.span(), wire::kDownloadRetry, 12029, false), 0u);
  for (const wchar_t* name : pruned) EXPECT_TRUE(store.Value(key, name)) << name;
  ASSERT_EQ(SetRequestStatus(objects, full.span(), wire::kCancelled, 0, false), 0u);
  for (const wchar_t* name : pruned) EXPECT_FALSE(store.Value(key, name)) << name;
  for (const wchar_t* kept :
       {value::kUpdateStatus, value::kSystemErrorCode, value::kUiName, value::kTimeStamp}) {
    EXPECT_TRUE(store.Value(key, kept)) << kept;
  }
  // Some of the four never written: pruning still succeeds.
  ASSERT_EQ(SetRequestStatus(objects, SubmitMessage("Bare").span(), wire::kQueued, 0, true), 0u);
  EXPECT_EQ(SetRequestStatus(objects, SubmitMessage("Bare").span(), wire::kCancelled, 0, false), 0u);
}

TEST(ReadRequestStatus, FillsTheRecordAndRefusesKeysItCannotRead) {
  test::TestStore store(L"Read");
  auto& objects = store.objects();
  const auto message = SubmitMessage("Reader").Instance(7);
  ASSERT_EQ(SetRequestStatus(objects, message.span(), wire::kQueued, 0, true), 0u);
  ASSERT_EQ(SetRequestStatus(objects, message.span(), wire::kDownloadRetry, 12002, false), 0u);
  test::ReplyBuffer reply;
  reply.bytes.fill(0xEE);
  auto record = reply.record();
  MessageCopy copy;
  ASSERT_EQ(ReadRequestStatus(objects, NameField(message), 7, record, &copy), 0u);
  auto expected = test::StatusReply("Reader", wire::kDownloadRetry, 12002, 7);
  (void)WriteFieldText(expected.record().ui_name_field(), "Test Software");
  (void)WriteFieldText(expected.record().software_version_field(), "1.2.3.4");
  EXPECT_EQ(reply.Sent(), expected.Sent());
  EXPECT_TRUE(
      std::equal(copy.span().begin(), copy.span().end(), message.bytes().begin(), message.bytes().end()));

  EXPECT_EQ(ReadRequestStatus(objects, NameField(message), 8, record), 2u);  // another instance: no key
  EXPECT_EQ(record.update_status(), 0u);
  store.key().SetDword(value::kUpdateStatus, wire::kQueued, L"Stray");  // never accepted: no UIName
  store.key().SetDword(value::kSystemErrorCode, 0, L"Stray");
  EXPECT_EQ(ReadRequestStatus(objects, NameField(SubmitMessage("Stray")), 0, record), 2u);
  // Names that would address the service key or a key below a request never reach the registry.
  EXPECT_EQ(ReadRequestStatus(objects, NameField(SubmitMessage("")), 0, record), DWORD{ERROR_INVALID_NAME});
  EXPECT_EQ(SetRequestStatus(objects, SubmitMessage("a\\b").span(), wire::kDownloading, 0, false),
            DWORD{ERROR_INVALID_NAME});
  EXPECT_FALSE(store.Value(L"a", value::kUpdateStatus));
}

TEST(RequestKeyValues, StringsEndInsideTheirBuffersAndTheUserAgentReadsBack) {
  test::TestStore store(L"Values");
  auto& objects = store.objects();
  const auto message = SubmitMessage("Paths");
  const auto name = NameField(message);
  // Stored texts with no terminator that fill the buffer are cut to end inside it.
  wchar_t path[kTargetPathCapacity + 1];  // the unit past the value is not NUL either
  std::wmemset(path, L'x', kTargetPathCapacity + 1);
  ASSERT_EQ(SetTargetPath(objects, name, 0, path, kTargetPathBytes), 0u);
  EXPECT_EQ(store.Value(L"Paths", value::kTargetPath)->bytes.size(), kTargetPathBytes);
  ASSERT_EQ(GetTargetPath(objects, name, 0, path, kTargetPathBytes), 0u);
  EXPECT_EQ(std::wcslen(path), kTargetPathCapacity - 1);
  wchar_t stamp[kTimeStampUnits];
  std::wmemset(stamp, L's', kTimeStampUnits);
  store.key().SetBinary(value::kTimeStamp, stamp, kTimeStampBytes, L"Paths");
  FileTimeUnits time{1};
  EXPECT_EQ(ReadRequestTime(objects, name, 0, &time, stamp, kTimeStampBytes), 2u);  // no "RequestTime"
  EXPECT_EQ(time.count(), 0u);
  EXPECT_EQ(std::wcslen(stamp), kTimeStampUnits - 1);

  const wchar_t* service_key = store.key().path().c_str();
  ASSERT_EQ(SetUserAgent(HKEY_LOCAL_MACHINE, service_key, L"Agent/2.0"), 0u);
  wchar_t agent[260] = {};
  ASSERT_EQ(GetUserAgent(HKEY_LOCAL_MACHINE, service_key, agent, sizeof(agent)), 0u);
  EXPECT_STREQ(agent, L"Agent/2.0");
  // 260 characters leave no room for the terminator: the buffer keeps what it held.
  ASSERT_EQ(SetUserAgent(HKEY_LOCAL_MACHINE, service_key, std::wstring(260, L'u').c_str()), 0u);
  EXPECT_EQ(GetUserAgent(HKEY_LOCAL_MACHINE, service_key, agent, sizeof(agent)), DWORD{ERROR_MORE_DATA});
  EXPECT_STREQ(agent, L"Agent/2.0");
  EXPECT_EQ(SetUserAgent(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QFUpdateTests\\NoSuchKey", L"x"),
            2u);  // never created
}

// What the caller's buffers hold; what the dispatcher makes of it and the end:
// Dispatcher.QueryAndEnumeration...
TEST(EnumerateRequestKey, ClearsTheNameAndInstanceForAForeignKey) {
  test::TestStore store(L"Enumerate");
  for (const wchar_t* key : {L"pkg_1A", L"_NotARequest"}) store.key().SetDword(L"UpdateStatus", 2, key);
  std::set<std::pair<std::string, std::uint32_t>> seen;
  RequestNameField name{};
  std::uint32_t instance = 99;
  for (DWORD index = 0; index < 2; ++index) {
    name.fill(0xEE);
    ASSERT_EQ(EnumerateRequestKey(index, name, instance), 0u);
    EXPECT_EQ(name.back(), 0);
    seen.emplace(std::string(FieldText(name)), instance);
  }
  EXPECT_EQ(seen, (std::set<std::pair<std::string, std::uint32_t>>{{"pkg", 0x1A}, {"", 0}}));
}

TEST(CancelRequest, RemovesAWaitingRecordMarksAHeldOneAndRefusesFinalOnes) {
  test::TestStore store(L"Cancel");
  auto& objects = store.objects();
  test::ReplyBuffer reply;
  const auto record = reply.record();
  const auto waiting = SubmitMessage("Waiting");
  ASSERT_NE(store.EnqueueAlone(waiting), nullptr);
  (void)store.TakeUpdateEvent();
  // Its list and stored status after the cancel: Dispatcher.CancelOfOneInstanceAndOfEveryActiveRequest.
  ASSERT_EQ(CancelRequest(objects, waiting.span(), record), wire::result::kDone);
  EXPECT_EQ(CancelRequest(objects, waiting.span(), record), wire::result::kCannotCancel);  // final now

  const auto held = SubmitMessage("Held");  // in progress, in the worker's held list
  ASSERT_EQ(SetRequestStatus(objects, held.span(), wire::kDownloading, 0, true), 0u);
  objects.held.PushBack(RequestRecord::Create(held.span()));
  ASSERT_EQ(CancelRequest(objects, held.span(), record), wire::result::kDone);
  EXPECT_EQ(record.update_status(), wire::kCancelRequested);
  EXPECT_EQ(store.Dword(L"Held", value::kCancelPending), 1u);
  EXPECT_TRUE(store.TakeUpdateEvent());
  EXPECT_EQ(CancelRequest(objects, SubmitMessage("Unknown").span(), record), wire::result::kCannotCancel);
  EXPECT_FALSE(store.TakeUpdateEvent());
  EXPECT_TRUE(store.MutexesAreFree());
}

TEST(FindPostponedRequests, QueryFindsAndInstallNowReleasesEveryPostponedRecord) {
  test::TestStore store(L"Postponed");
  auto& objects = store.objects();
  test::ReplyBuffer reply;
  const auto record = reply.record();
  for (const char* name : {"Later1", "Busy", "Later2"}) {
    ASSERT_EQ(
        EnqueueRequest(objects, SubmitMessage(name).U32(wire::kRandomDelayMinAt, 30).span(), {}, record), 0u);
  }
  EXPECT_EQ(FindPostponedRequests(objects, record, PostponedMode::kQuery), wire::result::kNothingToReport);
  for (const char* name : {"Later1", "Later2"}) {
    ASSERT_EQ(SetRequestStatus(objects, SubmitMessage(name).span(), wire::kPostponed, 0, false), 0u);
  }
  (void)store.TakeUpdateEvent();
  EXPECT_EQ(FindPostponedRequests(objects, record, PostponedMode::kQuery), wire::result::kDone);
  EXPECT_EQ(record.update_status(), 0u);  // the reply stays empty
  EXPECT_FALSE(store.TakeUpdateEvent());
  EXPECT_EQ(FindPostponedRequests(objects, record, PostponedMode::kInstallNow), wire::result::kDone);
  EXPECT_TRUE(store.TakeUpdateEvent());
  objects.requests.ForEach([](RequestRecord& waiting) {
    const bool postponed = wire::RequestMessage(waiting.message()).request_name().starts_with("Later");
    EXPECT_EQ(waiting.due_tick.count() == 0, postponed);
    EXPECT_EQ(waiting.install_now, postponed ? 1u : 0u);
    return true;
  });
  EXPECT_TRUE(store.MutexesAreFree());
}

TEST(StoreLocks, AnAbandonedRegistryMutexIsTakenAndReleased) {
  test::TestStore store(L"Abandoned");
  // A thread that ends holding the registry mutex.
  std::thread([&] { ::WaitForSingleObject(store.objects().registry_mutex.get(), INFINITE); }).join();
  ASSERT_EQ(SetRequestStatus(store.objects(), SubmitMessage("Orphan").span(), wire::kDownloading, 5, false),
            0u);
  EXPECT_EQ(store.Dword(L"Orphan", value::kSystemErrorCode), 5u);
  EXPECT_TRUE(store.MutexesAreFree());
}

}  // namespace
}  // namespace qfu::store
