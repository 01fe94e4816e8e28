#include "store/store_operations.h"

#include <gtest/gtest.h>

#include <array>
#include <cwchar>
#include <set>
#include <string>
#include <thread>

#include "common/bytes.h"
#include "common/utf.h"
#include "store/enqueue.h"
#include "store/request_time.h"
#include "wire/update_status.h"
#include "store/user_agent.h"
#include "support/test_messages.h"
#include "support/status_listener.h"
#include "support/test_store.h"

namespace qfu::store {
namespace {

using Record = std::array<std::uint8_t, wire::kStatusRecordSize>;

wire::MessageWriter Request(std::string_view name, std::uint32_t instance = 0) {
  auto message = test::SubmitMessage(name);
  if (instance != 0) message.Instance(instance);
  return message;
}
wire::Bytes NameOf(const wire::MessageWriter& m) { return wire::RequestMessage(m.span()).request_name_field(); }

// The DWORD value, or 0xDEAD when it is absent or not a 4-byte REG_DWORD.
std::uint32_t Dword(test::TestStore& store, const wchar_t* key, const wchar_t* name) {
  const auto v = store.Value(key, name);
  return v && v->type == REG_DWORD && v->bytes.size() == 4 ? ReadU32(v->bytes, 0) : 0xDEAD;
}

// True when another thread can take all three store mutexes at once: none was left held.
bool MutexesAreFree(ProcessObjects& objects) {
  bool free = false;
  std::thread([&] {
    const HANDLE all[3] = {objects.cancel_mutex.get(), objects.queue_mutex.get(), objects.registry_mutex.get()};
    free = ::WaitForMultipleObjects(3, all, TRUE, 0) == WAIT_OBJECT_0;
    for (HANDLE mutex : all) {
      if (free) ::ReleaseMutex(mutex);
    }
  }).join();
  return free;
}

TEST(SetRequestStatus, FirstWriteStoresIdentityAndFinalStatusPrunes) {
  test::TestStore store(L"Prune");
  auto& objects = store.objects();
  test::StatusListener listener(store.status_pipe_name());
  const auto full = Request("Full", 0x1A);
  const wchar_t* key = L"Full_0000001A";
  ASSERT_EQ(SetRequestStatus(objects, full.span(), wire::kQueued, 0, true), 0u);
  EXPECT_EQ(Dword(store, key, value::kUpdateStatus), wire::kQueued);
  EXPECT_EQ(Dword(store, key, value::kSystemErrorCode), 0u);
  EXPECT_EQ(store.Value(key, value::kInitialRequest)->bytes, full.bytes());
  const auto ui_name = store.Value(key, value::kUiName);
  EXPECT_EQ(ui_name->type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(ui_name->bytes.size(), 80u);
  EXPECT_EQ(FieldText(store.Value(key, value::kSoftwareVersion)->bytes), "1.2.3.4");
  EXPECT_EQ(store.Value(key, value::kSoftwareVersion)->bytes.size(), 18u);
  EXPECT_TRUE(listener.WaitFor(1, 300).empty());  // Queued is never announced

  const wchar_t path[kTargetPathCapacity] = L"C:\\ProgramData\\pkg\\p.msi";
  ASSERT_EQ(SetTargetPath(objects, NameOf(full), 0x1A, path, kTargetPathBytes), 0u);
  ASSERT_EQ(SetCancelPending(objects, NameOf(full), 0x1A), 0u);
  ASSERT_EQ(RecordRequestTime(objects, NameOf(full), 0x1A, store.clock().utc), 0u);
  const wchar_t* pruned[] = {value::kInitialRequest, value::kTargetPath, value::kCancelPending, value::kRequestTime};
  ASSERT_EQ(SetRequestStatus(objects, full.span(), wire::kDownloadRetry, 12029, false), 0u);
  for (const wchar_t* name : pruned) EXPECT_TRUE(store.Value(key, name)) << name;
  ASSERT_EQ(SetRequestStatus(objects, full.span(), wire::kCancelled, 0, false), 0u);
  for (const wchar_t* name : pruned) EXPECT_FALSE(store.Value(key, name)) << name;
  for (const wchar_t* name : {value::kUpdateStatus, value::kSystemErrorCode, value::kUiName, value::kSoftwareVersion,
                              value::kTimeStamp}) {
    EXPECT_TRUE(store.Value(key, name)) << name;
  }
  // Some of the four never written: pruning still succeeds.
  const auto bare = Request("Bare");
  ASSERT_EQ(SetRequestStatus(objects, bare.span(), wire::kQueued, 0, true), 0u);
  EXPECT_EQ(SetRequestStatus(objects, bare.span(), wire::kCancelled, 0, false), 0u);
  EXPECT_FALSE(store.Value(L"Bare", value::kInitialRequest));
}

TEST(ReadRequestStatus, FillsTheRecordAndRefusesKeysItCannotRead) {
  test::TestStore store(L"Read");
  auto& objects = store.objects();
  const auto message = Request("Reader", 7);
  ASSERT_EQ(SetRequestStatus(objects, message.span(), wire::kQueued, 0, true), 0u);
  ASSERT_EQ(SetRequestStatus(objects, message.span(), wire::kDownloadRetry, 12002, false), 0u);
  Record bytes;
  bytes.fill(0xEE);
  wire::StatusRecord record(bytes);
  MessageCopy copy;
  ASSERT_EQ(ReadRequestStatus(objects, NameOf(message), 7, record, &copy), 0u);
  EXPECT_EQ(record.length(), 159u);
  EXPECT_EQ(record.result_code(), 0u);
  EXPECT_EQ(record.update_status(), wire::kDownloadRetry);
  EXPECT_EQ(record.system_error_code(), 12002u);
  EXPECT_EQ(record.instance_number(), 7u);
  EXPECT_EQ(FieldText(record.request_name_field()), "Reader");
  EXPECT_EQ(FieldText(record.ui_name_field()), "Test Software");
  EXPECT_EQ(FieldText(record.software_version_field()), "1.2.3.4");
  EXPECT_TRUE(std::equal(copy.span().begin(), copy.span().end(), message.bytes().begin(), message.bytes().end()));

  EXPECT_EQ(ReadRequestStatus(objects, NameOf(message), 8, record), 2u);  // another instance: no key
  EXPECT_EQ(record.update_status(), 0u);
  store.key().SetDword(value::kUpdateStatus, wire::kQueued, L"Stray");  // never accepted: no UIName
  store.key().SetDword(value::kSystemErrorCode, 0, L"Stray");
  EXPECT_EQ(ReadRequestStatus(objects, NameOf(Request("Stray")), 0, record), 2u);
  // Names that would address the service key or a key below a request never reach the registry.
  EXPECT_EQ(ReadRequestStatus(objects, NameOf(Request("")), 0, record), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(SetRequestStatus(objects, Request("a\\b").span(), wire::kDownloading, 0, false),
            static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_FALSE(store.Value(L"a", value::kUpdateStatus));
}

TEST(RequestKeyValues, ReadBackAndStringsEndInsideTheirBuffers) {
  test::TestStore store(L"Values");
  auto& objects = store.objects();
  const auto message = Request("Paths");
  const auto name = NameOf(message);
  bool pending = true;
  EXPECT_EQ(ReadCancelPending(objects, name, 0, pending), 2u);
  EXPECT_FALSE(pending);
  ASSERT_EQ(SetCancelPending(objects, name, 0), 0u);
  EXPECT_EQ(Dword(store, L"Paths", value::kCancelPending), 1u);
  ASSERT_EQ(ReadCancelPending(objects, name, 0, pending), 0u);
  EXPECT_TRUE(pending);

  // Stored texts with no terminator that fill the buffer are cut to end inside it.
  wchar_t path[kTargetPathCapacity + 1];  // the unit past the value is not NUL either
  std::wmemset(path, L'x', kTargetPathCapacity + 1);
  ASSERT_EQ(SetTargetPath(objects, name, 0, path, kTargetPathBytes), 0u);
  EXPECT_EQ(store.Value(L"Paths", value::kTargetPath)->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(store.Value(L"Paths", value::kTargetPath)->bytes.size(), 522u);
  ASSERT_EQ(GetTargetPath(objects, name, 0, path, kTargetPathBytes), 0u);
  EXPECT_EQ(std::wcslen(path), kTargetPathCapacity - 1);
  wchar_t stamp[kTimeStampUnits];
  std::wmemset(stamp, L's', kTimeStampUnits);
  store.key().SetBinary(value::kTimeStamp, stamp, kTimeStampBytes, L"Paths");
  std::uint64_t time = 1;
  EXPECT_EQ(ReadRequestTime(objects, name, 0, &time, stamp, kTimeStampBytes), 2u);  // no "RequestTime"
  EXPECT_EQ(time, 0u);
  EXPECT_EQ(std::wcslen(stamp), kTimeStampUnits - 1);

  const wchar_t* service_key = store.key().path().c_str();
  ASSERT_EQ(SetUserAgent(HKEY_LOCAL_MACHINE, service_key, L"Agent/2.0"), 0u);
  wchar_t agent[260] = {};
  ASSERT_EQ(GetUserAgent(HKEY_LOCAL_MACHINE, service_key, agent, sizeof(agent)), 0u);
  EXPECT_STREQ(agent, L"Agent/2.0");
  // 260 characters leave no room for the terminator: the buffer keeps what it held.
  ASSERT_EQ(SetUserAgent(HKEY_LOCAL_MACHINE, service_key, std::wstring(260, L'u').c_str()), 0u);
  EXPECT_EQ(GetUserAgent(HKEY_LOCAL_MACHINE, service_key, agent, sizeof(agent)), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_STREQ(agent, L"Agent/2.0");
  EXPECT_EQ(SetUserAgent(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QFUpdateTests\\NoSuchKey", L"x"), 2u);  // never created
}

TEST(EnumerateRequestKey, SplitsKeyNamesAndEndsWith259) {
  test::TestStore store(L"Enumerate");
  std::array<std::uint8_t, wire::kRequestNameSize> name{};
  std::uint32_t instance = 99;
  EXPECT_EQ(EnumerateRequestKey(store.objects(), 0, name, instance), 259u);
  for (const wchar_t* key : {L"pkg_1A", L"Client", L"_NotARequest"}) store.key().SetDword(L"UpdateStatus", 2, key);
  std::set<std::pair<std::string, std::uint32_t>> seen;
  DWORD index = 0;
  for (DWORD result = 0; index < 10; ++index) {
    name.fill(0xEE);
    if ((result = EnumerateRequestKey(store.objects(), index, name, instance)) != 0) break;
    EXPECT_EQ(name.back(), 0);
    seen.emplace(std::string(FieldText(name)), instance);
  }
  EXPECT_EQ(index, 3u);
  EXPECT_EQ(seen, (std::set<std::pair<std::string, std::uint32_t>>{{"pkg", 0x1A}, {"Client", 0}, {"", 0}}));
}

TEST(CancelRequest, RemovesAWaitingRecordMarksAHeldOneAndRefusesFinalOnes) {
  test::TestStore store(L"Cancel");
  auto& objects = store.objects();
  test::StatusListener listener(store.status_pipe_name());
  Record bytes{};
  wire::StatusRecord record(bytes);
  const auto waiting = Request("Waiting");
  ASSERT_EQ(EnqueueRequest(objects, waiting.span(), 0, record), 0u);
  (void)store.TakeUpdateEvent();
  ASSERT_EQ(CancelRequest(objects, waiting.span(), record), wire::result::kDone);
  EXPECT_EQ(record.update_status(), wire::kCancelled);
  EXPECT_EQ(store.RequestCount(), 0u);
  EXPECT_EQ(Dword(store, L"Waiting", value::kUpdateStatus), wire::kCancelled);
  EXPECT_FALSE(store.Value(L"Waiting", value::kInitialRequest));
  const auto received = listener.WaitFor(1, 10000);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(ReadU32(received[0], wire::kUpdateStatusAt), wire::kCancelled);
  EXPECT_EQ(CancelRequest(objects, waiting.span(), record), wire::result::kCannotCancel);  // final now

  const auto held = Request("Held");  // in progress, not in the list: the worker has it
  ASSERT_EQ(SetRequestStatus(objects, held.span(), wire::kDownloading, 0, true), 0u);
  ASSERT_EQ(CancelRequest(objects, held.span(), record), wire::result::kDone);
  EXPECT_EQ(record.update_status(), wire::kCancelRequested);
  EXPECT_EQ(Dword(store, L"Held", value::kCancelPending), 1u);
  EXPECT_EQ(Dword(store, L"Held", value::kUpdateStatus), wire::kDownloading);
  EXPECT_TRUE(store.TakeUpdateEvent());

  EXPECT_EQ(CancelRequest(objects, Request("Unknown").span(), record), wire::result::kCannotCancel);
  EXPECT_FALSE(store.TakeUpdateEvent());
  EXPECT_TRUE(MutexesAreFree(objects));
}

TEST(CancelRequest, CancelsOnlyTheInstanceNamed) {
  test::TestStore store(L"CancelTwins");
  Record bytes{};
  wire::StatusRecord record(bytes);
  ASSERT_EQ(EnqueueRequest(store.objects(), Request("Twin", 1).span(), 0, record), 0u);
  ASSERT_EQ(EnqueueRequest(store.objects(), Request("Twin", 2).span(), 0, record), 0u);
  ASSERT_EQ(CancelRequest(store.objects(), Request("Twin", 2).span(), record), wire::result::kDone);
  ASSERT_EQ(store.RequestCount(), 1u);
  store.objects().requests.ForEach([](RequestRecord& left) {
    EXPECT_EQ(wire::RequestMessage(left.message()).instance_number(), 1u);
    return true;
  });
  EXPECT_EQ(Dword(store, L"Twin_00000001", value::kUpdateStatus), wire::kQueued);
  EXPECT_EQ(Dword(store, L"Twin_00000002", value::kUpdateStatus), wire::kCancelled);
}

TEST(FindPostponedRequests, QueryFindsAndInstallNowReleasesEveryPostponedRecord) {
  test::TestStore store(L"Postponed");
  auto& objects = store.objects();
  Record bytes{};
  wire::StatusRecord record(bytes);
  EXPECT_EQ(FindPostponedRequests(objects, record, PostponedMode::kInstallNow), wire::result::kNothingToReport);
  for (const char* name : {"Later1", "Busy", "Later2"}) {
    ASSERT_EQ(EnqueueRequest(objects, Request(name).U32(wire::kRandomDelayMinAt, 30).span(), 0, record), 0u);
  }
  EXPECT_EQ(FindPostponedRequests(objects, record, PostponedMode::kQuery), wire::result::kNothingToReport);
  for (const char* name : {"Later1", "Later2"}) {
    ASSERT_EQ(SetRequestStatus(objects, Request(name).span(), wire::kPostponed, 0, false), 0u);
  }
  (void)store.TakeUpdateEvent();

  EXPECT_EQ(FindPostponedRequests(objects, record, PostponedMode::kQuery), wire::result::kDone);
  EXPECT_EQ(record.update_status(), 0u);  // the reply stays empty
  EXPECT_FALSE(store.TakeUpdateEvent());
  EXPECT_EQ(FindPostponedRequests(objects, record, PostponedMode::kInstallNow), wire::result::kDone);
  EXPECT_TRUE(store.TakeUpdateEvent());
  objects.requests.ForEach([](RequestRecord& waiting) {
    const bool postponed = wire::RequestMessage(waiting.message()).request_name().starts_with("Later");
    EXPECT_EQ(waiting.due_tick == 0, postponed);
    EXPECT_EQ(waiting.install_now, postponed ? 1u : 0u);
    return true;
  });
  EXPECT_TRUE(MutexesAreFree(objects));
}

TEST(StoreLocks, AnAbandonedRegistryMutexIsTakenAndReleased) {
  test::TestStore store(L"Abandoned");
  auto& objects = store.objects();
  std::thread([&] { ::WaitForSingleObject(objects.registry_mutex.get(), INFINITE); }).join();  // dies holding it
  ASSERT_EQ(SetRequestStatus(objects, Request("Orphan").span(), wire::kDownloading, 5, false), 0u);
  EXPECT_EQ(Dword(store, L"Orphan", value::kSystemErrorCode), 5u);
  EXPECT_TRUE(MutexesAreFree(objects));
}

}  // namespace
}  // namespace qfu::store
