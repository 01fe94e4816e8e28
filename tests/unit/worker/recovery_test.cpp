// Start-up recovery takes up only keys the agent wrote for the message stored in them; a key
// someone else made (a device name, a name that merely parses, another request's message) stays.
#include "worker/recovery.h"

#include <gtest/gtest.h>

#include "store/store_operations.h"
#include "support/fake_worker_ports.h"
#include "support/test_messages.h"

namespace qfu::worker {
namespace {

TEST(RecoverStoredRequests, ResumesOnlyKeysTheAgentWroteForTheirMessage) {
  test::TestStore store(L"Recovery");
  test::FakeWorld world;
  const struct {
    const wchar_t* key;  // what the store names the message's key
    wire::MessageWriter message;
    bool resumed;
  } keys[] = {
      {L"Mine", test::SubmitMessage("Mine"), true},
      {L"Twin_0000001A", test::SubmitMessage("Twin").Instance(0x1A), true},
      {L"CON", test::SubmitMessage("CON"), false},
      {L"Twin_1A", test::SubmitMessage("Twin_1A"), false},
      {L"Other_00000005", test::SubmitMessage("Other").Instance(5), false},
  };
  for (const auto& k : keys)
    ASSERT_EQ(store::SetRequestStatus(store.objects(), k.message.span(), wire::kDownloaded, 0, true), 0u);
  const auto other = test::SubmitMessage("Other").Instance(6);  // names another request than its key
  store.key().SetValue(L"InitialRequest", REG_BINARY, other.span().data(),
                       static_cast<DWORD>(other.span().size()), L"Other_00000005");
  RecoverStoredRequests(store.objects(), world);
  EXPECT_EQ(store.RequestCount(), 2u);
  for (const auto& k : keys) {
    EXPECT_EQ(store.Dword(k.key, L"UpdateStatus"),
              wire::WireValue(k.resumed ? wire::kQueued : wire::kDownloaded))
        << WideToUtf8(k.key);
  }
}

}  // namespace
}  // namespace qfu::worker
