#include "ipc/dispatcher.h"

#include <algorithm>
#include <cwchar>
#include <gtest/gtest.h>
#include <string>

#include "common/bytes.h"
#include "support/dispatch.h"
#include "support/test_messages.h"
#include "support/test_store.h"
#include "wire/update_status.h"

namespace qfu::ipc {
namespace {

using namespace wire;
using test::NamedMessage;
using test::SubmitMessage;
constexpr auto Send = test::Dispatched;
constexpr auto ResultOf = test::DispatchedResult;

TEST(Dispatcher, AnswersEachMessageWithItsResultCodeAndABareRecord) {
  test::TestStore store(L"DispatchResults");
  const std::pair<MessageWriter, std::uint32_t> script[] = {
      // in order, on one store
      {NamedMessage(kCancelRequest, "*"), result::kNothingToReport},  // nothing to cancel
      {SubmitMessage("App").Instance(7), result::kDone},
      {MessageWriter().Name("NoArgs").TextItem(kPackageUrlItem, "u"),
       result::kBadMessage},                        // no arguments item
      {SubmitMessage("a_b"), result::kBadMessage},  // storable, but "_" splits its key name
      {SubmitMessage("Late").AddFlags(flags::kInstallWindow).U16(kWindowEndHourAt, 24), result::kBadMessage},
      {SubmitMessage("Pinned").TextItem(kPackageDigestItem, "0123"),
       result::kBadMessage},                                         // a digest cut short
      {NamedMessage(kQueryRequest, "App"), result::kNoSuchRequest},  // App alone is another request
      {NamedMessage(kCancelRequest, "Nobody"), result::kNoSuchRequest},
      {MessageWriter(kSetUserAgent), result::kBadMessage},  // no user agent item
      {MessageWriter(kQueryPostponed), result::kNothingToReport},
      {MessageWriter(kInstallPostponedNow), result::kNothingToReport},
      {NamedMessage(0, "x"), result::kBadMessage},
      {NamedMessage(8, "x"), result::kBadMessage},
  };
  for (const auto& [message, expected] : script) {
    auto reply = Send(store, message);
    const auto request = RequestMessage(message.span());
    EXPECT_EQ(reply.record().result_code(), expected) << request.type() << " " << request.request_name();
    EXPECT_EQ(reply.record().length(), kStatusRecordSize) << request.type() << " " << request.request_name();
    EXPECT_EQ(reply.record().system_error_code(), 0u);
  }
  EXPECT_EQ(store.RequestCount(), 1u);
  EXPECT_FALSE(store.Value(L"NoArgs", L"UpdateStatus").has_value());
  EXPECT_FALSE(store.Value(L"a_b", L"UpdateStatus").has_value());
  EXPECT_FALSE(store.Value(L"Late", L"UpdateStatus").has_value());
  EXPECT_FALSE(store.Value(L"Pinned", L"UpdateStatus").has_value());
  EXPECT_STREQ(store.config().user_agent, kDefaultUserAgent);
}

TEST(Dispatcher, SubmitIsRefusedWhileActiveOrCompletedAndQueuedAgainAfterAFailure) {
  test::TestStore store(L"DispatchResubmit");
  const auto submit = SubmitMessage("App");
  auto first = Send(store, submit);
  EXPECT_EQ(first.record().update_status(), kQueued);
  auto again = Send(store, submit);
  EXPECT_EQ(again.record().result_code(), result::kAlreadyExists);
  EXPECT_EQ(again.record().update_status(), kQueued);  // the existing request as stored
  const std::pair<std::uint32_t, std::uint32_t> stored[] = {{kDownloadRetry, result::kAlreadyExists},
                                                            {kCompleted, result::kAlreadyExists},
                                                            {kInstallFailed, result::kDone}};
  for (const auto& [status, expected] : stored) {
    store.key().SetDword(L"UpdateStatus", status, L"App");
    EXPECT_EQ(ResultOf(store, submit), expected) << std::hex << status;
  }
  EXPECT_EQ(store.Dword(L"App", L"UpdateStatus"), kQueued);
  EXPECT_EQ(store.RequestCount(), 2u);
}

// A query and an enumeration answer as stored, with the request's time stamp item; the
// enumeration refuses a key that no request can have, and ends after the last key.
TEST(Dispatcher, QueryAndEnumerationAnswerAsStoredWithATimeStampItem) {
  test::TestStore store(L"DispatchQuery");
  ASSERT_EQ(ResultOf(store, SubmitMessage("Beta").Instance(0x1A)), result::kDone);
  store.key().SetDword(L"Unrelated", 1, L"_foreign");
  std::vector<std::string> seen;
  for (const auto& message :
       {NamedMessage(kQueryRequest, "Beta").Instance(0x1A), MessageWriter(kEnumerateRequests).Flags(0),
        MessageWriter(kEnumerateRequests).Flags(1)}) {
    auto reply = Send(store, message);
    seen.push_back(std::to_string(reply.record().result_code()) + " " + std::string(reply.name()) + ":" +
                   std::to_string(reply.record().instance_number()));
    if (reply.record().result_code() != result::kDone) continue;
    EXPECT_EQ(reply.record().update_status(), kQueued);
    const std::uint32_t item_length = ReadU32(reply.bytes, kStatusRecordSize + 4);
    EXPECT_EQ(ReadU32(reply.bytes, kStatusRecordSize), kTimeStampItem);
    EXPECT_GT(item_length, 1u);
    EXPECT_EQ(reply.record().length(), kStatusRecordSize + 8 + item_length);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"0 Beta:26", "0 Beta:26",
                                            std::to_string(result::kCannotCarryOut) + " :0"}));
  EXPECT_EQ(ResultOf(store, MessageWriter(kEnumerateRequests).Flags(2)), result::kNothingToReport);
}

TEST(Dispatcher, CancelOfOneInstanceAndOfEveryActiveRequest) {
  test::TestStore store(L"DispatchCancel");
  for (const auto& submit : {SubmitMessage("Gone"), SubmitMessage("Two"), SubmitMessage("Two").Instance(3)}) {
    ASSERT_EQ(ResultOf(store, submit), result::kDone);
  }
  EXPECT_EQ(ResultOf(store, NamedMessage(kCancelRequest, "Gone")), result::kDone);
  EXPECT_EQ(ResultOf(store, NamedMessage(kCancelRequest, "Two").Instance(3)), result::kDone);
  EXPECT_EQ(store.Dword(L"Two", L"UpdateStatus"), kQueued);   // another instance, still waiting
  auto all = Send(store, NamedMessage(kCancelRequest, "*"));  // skips the final ones
  EXPECT_EQ(all.record().result_code(), result::kDone);
  EXPECT_EQ(all.record().update_status(), kCancelled);
  EXPECT_EQ(all.name(), "Two");
  EXPECT_EQ(store.RequestCount(), 0u);
  EXPECT_EQ(store.Dword(L"Two", L"UpdateStatus"), kCancelled);
}

TEST(Dispatcher, SetUserAgentReplacesTheBufferOnlyWithATextThatFits) {
  test::TestStore store(L"DispatchUserAgent");
  const wchar_t* user_agent = store.config().user_agent;
  const std::string longest(kUserAgentCapacity - 1, 'x');
  EXPECT_EQ(ResultOf(store, MessageWriter(kSetUserAgent).TextItem(kUserAgentItem, longest)), result::kDone);
  EXPECT_EQ(std::wcslen(user_agent), kUserAgentCapacity - 1);
  EXPECT_EQ(ResultOf(store, MessageWriter(kSetUserAgent).TextItem(kUserAgentItem, "Agent/2.0")),
            result::kDone);
  const auto too_long = MessageWriter(kSetUserAgent).TextItem(kUserAgentItem, longest + "y");
  EXPECT_EQ(ResultOf(store, too_long), result::kBadMessage);
  EXPECT_STREQ(user_agent, L"Agent/2.0");
}

}  // namespace
}  // namespace qfu::ipc
