#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <string>

#include "support/dispatch.h"
#include "support/run_together.h"
#include "support/test_messages.h"
#include "support/test_store.h"
#include "wire/update_status.h"

namespace qfu::ipc {
namespace {

using namespace wire;

// Clients submitting one name at the same moment: exactly one is queued, every other one is
// told the request exists, and the request list holds one record of that name. Several
// rounds, so that an unguarded check-then-enqueue is caught whichever thread runs first.
TEST(Submit, SameNameFromManyClientsAtOnceIsQueuedOnce) {
  test::TestStore store(L"SubmitAtOnce");
  constexpr std::size_t kClients = 8;
  constexpr int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = "Race" + std::to_string(round);
    const auto message = test::SubmitMessage(name);
    std::array<std::uint32_t, kClients> results{};
    ASSERT_TRUE(test::RunTogether(
        kClients, [&](std::size_t client) { results[client] = test::DispatchedResult(store, message); },
        30000));
    EXPECT_EQ(std::count(results.begin(), results.end(), result::kDone), 1) << name;
    EXPECT_EQ(std::count(results.begin(), results.end(), result::kAlreadyExists), kClients - 1) << name;

    std::size_t listed = 0;
    store.objects().requests.ForEach([&](store::RequestRecord& record) {
      listed += RequestMessage(record.message()).request_name() == name;
      return true;
    });
    EXPECT_EQ(listed, 1u) << name;
  }
}

}  // namespace
}  // namespace qfu::ipc
