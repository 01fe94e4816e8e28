#include "ipc/dispatcher.h"

#include <gtest/gtest.h>

#include <array>
#include <cwchar>
#include <string>

#include "common/bytes.h"
#include "common/utf.h"
#include "wire/update_status.h"
#include "support/test_messages.h"
#include "support/test_store.h"

namespace qfu::ipc {
namespace {

using namespace wire;

using Reply = std::array<std::uint8_t, kReplyCapacity>;

Reply Send(test::TestStore& store, const wire::MessageWriter& message) {
  Reply reply{};
  reply.fill(0xCC);  // the dispatcher must fill every field it reports
  Dispatch(store.objects(), message.span(), reply);
  return reply;
}

std::uint32_t ResultOf(const Reply& reply) { return ReadU32(reply, kResultCodeAt); }
std::uint32_t StatusOf(const Reply& reply) { return ReadU32(reply, kUpdateStatusAt); }
std::uint32_t LengthOf(const Reply& reply) { return ReadU32(reply, kLengthAt); }
std::string_view NameOf(const Reply& reply) { return FieldText(std::span(reply).subspan(kRecordRequestNameAt, 37)); }

wire::MessageWriter Named(std::uint32_t type, std::string_view name) {
  wire::MessageWriter message(type);
  message.Name(name);
  return message;
}

void StoreStatus(test::TestStore& store, const wchar_t* request_key, DWORD status) {
  store.key().SetDword(L"UpdateStatus", status, request_key);
}

TEST(Dispatcher, SubmitNeedsBothItemsAndAnAcceptableName) {
  test::TestStore store(L"DispatchSubmitRefusals");
  auto without_arguments = wire::MessageWriter().Name("NoArgs");
  without_arguments.TextItem(kPackageUrlItem, "http://127.0.0.1/p.msi");
  EXPECT_EQ(ResultOf(Send(store, without_arguments)), result::kBadMessage);

  for (const char* name : {"", "a_b", "a\\b", "a/b", "a:b", "a..b"}) {
    EXPECT_EQ(ResultOf(Send(store, test::SubmitMessage(name))), result::kBadMessage) << name;
  }
  EXPECT_EQ(store.RequestCount(), 0u);
  EXPECT_FALSE(store.Value(L"NoArgs", L"UpdateStatus").has_value());
  EXPECT_FALSE(store.Value(L"a", L"UpdateStatus").has_value());
}

TEST(Dispatcher, SubmitIsRefusedWhileActiveOrCompletedAndQueuedAgainAfterAFailure) {
  test::TestStore store(L"DispatchResubmit");
  const auto submit = test::SubmitMessage("App");
  const Reply first = Send(store, submit);
  EXPECT_EQ(ResultOf(first), result::kDone);
  EXPECT_EQ(StatusOf(first), wire::kQueued);
  EXPECT_EQ(NameOf(first), "App");

  const Reply again = Send(store, submit);
  EXPECT_EQ(ResultOf(again), result::kAlreadyExists);
  EXPECT_EQ(StatusOf(again), wire::kQueued);  // the existing request as stored

  StoreStatus(store, L"App", wire::kCompleted);
  EXPECT_EQ(ResultOf(Send(store, submit)), result::kAlreadyExists);
  StoreStatus(store, L"App", wire::kDownloadRetry);
  EXPECT_EQ(ResultOf(Send(store, submit)), result::kAlreadyExists);

  StoreStatus(store, L"App", wire::kInstallFailed);
  const Reply requeued = Send(store, submit);
  EXPECT_EQ(ResultOf(requeued), result::kDone);
  EXPECT_EQ(StatusOf(requeued), wire::kQueued);
  EXPECT_EQ(store.RequestCount(), 2u);
}

TEST(Dispatcher, QueryAnswersAsStoredWithATimeStampItem) {
  test::TestStore store(L"DispatchQuery");
  const Reply unknown = Send(store, Named(kQueryRequest, "Nobody"));
  EXPECT_EQ(ResultOf(unknown), result::kNoSuchRequest);
  EXPECT_EQ(LengthOf(unknown), kStatusRecordSize);

  ASSERT_EQ(ResultOf(Send(store, test::SubmitMessage("App").Instance(7))), result::kDone);
  auto query = Named(kQueryRequest, "App");
  const Reply without_instance = Send(store, query);
  EXPECT_EQ(ResultOf(without_instance), result::kNoSuchRequest);  // App alone is another request

  const Reply found = Send(store, query.Instance(7));
  EXPECT_EQ(ResultOf(found), result::kDone);
  EXPECT_EQ(StatusOf(found), wire::kQueued);
  EXPECT_EQ(ReadU32(found, kRecordInstanceNumberAt), 7u);
  EXPECT_EQ(FieldText(std::span(found).subspan(kRecordSoftwareVersionAt, 18)), "1.2.3.4");
  const std::uint32_t item_length = ReadU32(found, kStatusRecordSize + 4);
  EXPECT_EQ(ReadU32(found, kStatusRecordSize), kTimeStampItem);
  EXPECT_GT(item_length, 1u);
  EXPECT_EQ(LengthOf(found), kStatusRecordSize + 8 + item_length);
}

TEST(Dispatcher, EnumerationWalksTheKeysAndMarksForeignSubkeys) {
  test::TestStore store(L"DispatchEnumerate");
  ASSERT_EQ(ResultOf(Send(store, test::SubmitMessage("Alpha"))), result::kDone);
  store.key().SetDword(L"Unrelated", 1, L"_foreign");  // a subkey no request can have
  ASSERT_EQ(ResultOf(Send(store, test::SubmitMessage("Beta").Instance(0x1A))), result::kDone);

  std::vector<std::string> names;
  std::uint32_t index = 0;
  for (; index < 10; ++index) {
    const Reply reply = Send(store, wire::MessageWriter(kEnumerateRequests).Flags(index));
    if (ResultOf(reply) == result::kNothingToReport) break;
    if (ResultOf(reply) == result::kCannotCarryOut) {
      names.push_back("?");
      continue;
    }
    ASSERT_EQ(ResultOf(reply), result::kDone);
    names.push_back(std::string(NameOf(reply)) + ":" + std::to_string(ReadU32(reply, kRecordInstanceNumberAt)));
  }
  EXPECT_EQ(index, 3u);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"?", "Alpha:0", "Beta:26"}));
}

TEST(Dispatcher, CancelOfOneAndOfEveryActiveRequest) {
  test::TestStore store(L"DispatchCancel");
  EXPECT_EQ(ResultOf(Send(store, Named(kCancelRequest, "*"))), result::kNothingToReport);
  EXPECT_EQ(ResultOf(Send(store, Named(kCancelRequest, "Nobody"))), result::kNoSuchRequest);

  ASSERT_EQ(ResultOf(Send(store, test::SubmitMessage("One"))), result::kDone);
  const Reply one = Send(store, Named(kCancelRequest, "One"));
  EXPECT_EQ(ResultOf(one), result::kDone);
  EXPECT_EQ(StatusOf(one), wire::kCancelled);
  EXPECT_EQ(ResultOf(Send(store, Named(kCancelRequest, "One"))), result::kCannotCancel);  // final now

  ASSERT_EQ(ResultOf(Send(store, test::SubmitMessage("Two"))), result::kDone);
  ASSERT_EQ(ResultOf(Send(store, test::SubmitMessage("Two").Instance(3))), result::kDone);
  const Reply all = Send(store, Named(kCancelRequest, "*"));
  EXPECT_EQ(ResultOf(all), result::kDone);
  EXPECT_EQ(StatusOf(all), wire::kCancelled);
  EXPECT_EQ(NameOf(all), "Two");
  EXPECT_EQ(store.RequestCount(), 0u);
  EXPECT_EQ(ReadU32(store.Value(L"Two", L"UpdateStatus")->bytes, 0), wire::kCancelled);
  EXPECT_EQ(ReadU32(store.Value(L"Two_00000003", L"UpdateStatus")->bytes, 0), wire::kCancelled);
}

TEST(Dispatcher, SetUserAgentReplacesTheBufferAndTheStoredValue) {
  test::TestStore store(L"DispatchUserAgent");
  auto& objects = store.objects();
  EXPECT_EQ(ResultOf(Send(store, wire::MessageWriter(kSetUserAgent))), result::kBadMessage);
  EXPECT_STREQ(objects.user_agent, kDefaultUserAgent);

  auto set = wire::MessageWriter(kSetUserAgent).TextItem(kUserAgentItem, "Agent/2.0");
  EXPECT_EQ(ResultOf(Send(store, set)), result::kDone);
  EXPECT_STREQ(objects.user_agent, L"Agent/2.0");
  const auto stored = store.key().path();
  wchar_t value[64] = {};
  DWORD size = sizeof(value);
  ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, stored.c_str(), L"UserAgent", RRF_RT_REG_SZ, nullptr, value, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(value, L"Agent/2.0");

  const std::string longest(kUserAgentCapacity - 1, 'x');
  EXPECT_EQ(ResultOf(Send(store, wire::MessageWriter(kSetUserAgent).TextItem(kUserAgentItem, longest))),
            result::kDone);
  EXPECT_EQ(std::wcslen(objects.user_agent), kUserAgentCapacity - 1);
  const auto too_long = wire::MessageWriter(kSetUserAgent).TextItem(kUserAgentItem, longest + "y");
  EXPECT_EQ(ResultOf(Send(store, too_long)), result::kBadMessage);
  EXPECT_EQ(std::wcslen(objects.user_agent), kUserAgentCapacity - 1);
}

TEST(Dispatcher, PostponedQueriesAndUnknownTypes) {
  test::TestStore store(L"DispatchPostponed");
  for (std::uint32_t type : {kQueryPostponed, kInstallPostponedNow}) {
    const Reply reply = Send(store, wire::MessageWriter(type));
    EXPECT_EQ(ResultOf(reply), result::kNothingToReport);
    EXPECT_EQ(LengthOf(reply), kStatusRecordSize);
  }
  for (std::uint32_t type : {0u, 8u, 0xFFFFFFFFu}) {
    EXPECT_EQ(ResultOf(Send(store, wire::MessageWriter(type).Name("x"))), result::kBadMessage);
  }
}

}  // namespace
}  // namespace qfu::ipc
