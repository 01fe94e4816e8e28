#include "worker/worker_rules.h"

#include <gtest/gtest.h>

#include "wire/message.h"

namespace qfu::worker {
namespace {

TEST(WorkerRules, NetworkTypeAgainstTheRequestFlags) {
  using namespace wire::flags;
  constexpr std::uint32_t kAllThree = kAllowPopType1 | kAllowPopType2 | kAllowPopType3;
  struct Case {
    std::uint32_t flags;
    bool allowed[5];  // network types 0 to 4
  };
  const Case cases[] = {
      {0, {true, true, true, true, true}},
      {kNoDownloadOnPopType3, {true, true, true, false, true}},
      {kAllowPopType1, {true, true, false, false, true}},
      {kAllowPopType2, {true, false, true, false, true}},
      {kAllowPopType3, {true, false, false, true, true}},
      {kAllowPopType1 | kAllowPopType3, {true, true, false, true, true}},
      {kAllThree, {true, true, true, true, true}},
      {kAllThree | kNoDownloadOnPopType3, {true, true, true, false, true}},
      // Flags that say nothing of the network.
      {kDownloadWhenDisconnected | kDryRun | kInstallWindow, {true, true, true, true, true}},
  };
  for (const Case& c : cases) {
    for (std::uint32_t type = 0; type < 5; ++type) {
      EXPECT_EQ(IsNetworkAllowed(c.flags, type), c.allowed[type]) << "flags 0x" << std::hex << c.flags << " type "
                                                                  << type;
    }
  }
  EXPECT_TRUE(IsNetworkAllowed(kAllowPopType1, 0xFFFFFFFF));
}

}  // namespace
}  // namespace qfu::worker
