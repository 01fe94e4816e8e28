#include "ipc/dispatcher.h"

#include <algorithm>
#include <array>
#include <cwchar>
#include <gtest/gtest.h>
#include <string>

#include "support/run_together.h"
#include "support/test_messages.h"
#include "support/test_store.h"

namespace qfu::ipc {
namespace {

using namespace wire;
using test::NamedMessage;
using test::SubmitMessage;

// In order, on one store: what each message is answered, with a bare record and nothing
// stored for a refused submit.
TEST(Dispatcher, AnswersEachMessageWithItsResultCodeAndABareRecord) {
  test::TestStore store(L"DispatchResults");
  store.key().SetDword(L"UpdateStatus", 2, L"_foreign");
  const std::string longest_agent(kUserAgentCapacity - 1, 'x');
  const struct {
    MessageWriter message;
    ResultCode result;
  } script[] = {
      {.message = NamedMessage(kCancelRequest, "*"), .result = result::kNothingToReport},
      // A key no request can have: listed, but not readable as a request; then the end.
      {.message = MessageWriter(kEnumerateRequests), .result = result::kCannotCarryOut},
      {.message = MessageWriter(kEnumerateRequests).U32(kRequestFlagsAt, 1),
       .result = result::kNothingToReport},
      {.message = SubmitMessage("App").Instance(7), .result = result::kDone},
      {.message = MessageWriter().Name("NoArgs").TextItem(kPackageUrlItem, "u"),
       .result = result::kBadMessage},
      {.message = SubmitMessage("a_b"), .result = result::kBadMessage},  // "_" splits its key name
      {.message = SubmitMessage("Late").AddFlags(flags::kInstallWindow).U16(kWindowEndHourAt, 24),
       .result = result::kBadMessage},
      {.message = SubmitMessage("Pinned").TextItem(kPackageDigestItem, "0123"),
       .result = result::kBadMessage},
      {.message = NamedMessage(kQueryRequest, "App"), .result = result::kNoSuchRequest},  // another instance
      {.message = NamedMessage(kCancelRequest, "Nobody"), .result = result::kNoSuchRequest},
      {.message = MessageWriter(kSetUserAgent), .result = result::kBadMessage},
      {.message = MessageWriter(kSetUserAgent).TextItem(kUserAgentItem, longest_agent),
       .result = result::kDone},
      {.message = MessageWriter(kSetUserAgent).TextItem(kUserAgentItem, longest_agent + "y"),
       .result = result::kBadMessage},  // keeps the one it had
      {.message = MessageWriter(kInstallPostponedNow), .result = result::kNothingToReport},
      {.message = NamedMessage(8, "x"), .result = result::kBadMessage},
  };
  for (const auto& step : script) {
    auto reply = store.Dispatch(step.message);
    const std::uint32_t type = RequestMessage(step.message.span()).type();
    EXPECT_EQ(reply.record().result_code(), step.result) << type << " " << reply.name();
    EXPECT_EQ(std::pair(reply.record().length(), reply.record().system_error_code()),
              std::pair(std::uint32_t{kStatusRecordSize}, 0u))
        << type << " " << reply.name();
  }
  EXPECT_EQ(store.RequestCount(), 1u);
  for (const wchar_t* refused : {L"NoArgs", L"a_b", L"Late", L"Pinned"})
    EXPECT_FALSE(store.Value(refused, L"UpdateStatus")) << refused;
  EXPECT_EQ(std::wcslen(store.config().user_agent), kUserAgentCapacity - 1);
}

// A stored status that is not a failure, or DownloadRetry, refuses a second submit of the name.
TEST(Dispatcher, SubmitIsRefusedWhileActiveOrCompletedAndQueuedAgainAfterAFailure) {
  test::TestStore store(L"DispatchResubmit");
  const auto submit = SubmitMessage("App");
  ASSERT_EQ(store.Result(submit), result::kDone);
  auto again = store.Dispatch(submit);
  EXPECT_EQ(std::pair(again.record().result_code(), again.record().update_status()),
            std::pair(result::kAlreadyExists, kQueued));  // the existing request as stored
  const std::pair<UpdateStatus, ResultCode> stored[] = {{kDownloadRetry, result::kAlreadyExists},
                                                        {kCompleted, result::kAlreadyExists},
                                                        {kInstallFailed, result::kDone}};
  for (const auto& [status, expected] : stored) {
    store.key().SetDword(L"UpdateStatus", WireValue(status), L"App");
    EXPECT_EQ(store.Result(submit), expected) << status;
  }
  EXPECT_EQ(store.RequestCount(), 2u);
}

// Clients submitting one name at the same moment: exactly one is queued. Several rounds, so
// that an unguarded check-then-enqueue is caught whichever thread runs first.
TEST(Submit, SameNameFromManyClientsAtOnceIsQueuedOnce) {
  test::TestStore store(L"SubmitAtOnce");
  constexpr std::size_t kClients = 8;
  for (int round = 0; round < 12; ++round) {
    const auto message = SubmitMessage("Race" + std::to_string(round));
    std::array<ResultCode, kClients> results{};
    ASSERT_TRUE(test::RunTogether(
        kClients, [&](std::size_t client) { results[client] = store.Result(message); }, 30000));
    EXPECT_EQ(std::count(results.begin(), results.end(), result::kDone), 1) << round;
    EXPECT_EQ(store.RequestCount(), static_cast<std::size_t>(round) + 1);
  }
}

// Cancel "*" cancels every request still active, each under its own instance, and skips the
// final ones; the reply holds the last one cancelled.
TEST(Dispatcher, CancelOfOneInstanceAndOfEveryActiveRequest) {
  test::TestStore store(L"DispatchCancel");
  for (const auto& submit : {SubmitMessage("Gone"), SubmitMessage("Two"), SubmitMessage("Two").Instance(3)}) {
    ASSERT_EQ(store.Result(submit), result::kDone);
  }
  EXPECT_EQ(store.Result(NamedMessage(kCancelRequest, "Gone")), result::kDone);
  EXPECT_EQ(store.Result(NamedMessage(kCancelRequest, "Two").Instance(3)), result::kDone);
  EXPECT_EQ(store.Dword(L"Two", L"UpdateStatus"), WireValue(kQueued));
  auto all = store.Dispatch(NamedMessage(kCancelRequest, "*"));
  EXPECT_EQ(std::pair(all.record().result_code(), all.record().update_status()),
            std::pair(result::kDone, kCancelled));
  EXPECT_EQ(all.name(), "Two");
  EXPECT_EQ(store.RequestCount(), 0u);
  EXPECT_EQ(store.Dword(L"Two", L"UpdateStatus"), WireValue(kCancelled));
}

}  // namespace
}  // namespace qfu::ipc
