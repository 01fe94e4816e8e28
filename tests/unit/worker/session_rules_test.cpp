#include "worker/session_rules.h"

#include <gtest/gtest.h>

namespace qfu::worker {
namespace {

TEST(SessionRules, OnlyActiveOrDisconnectedSessionsWithANameCount) {
  constexpr std::uint16_t kNamed = u'A';
  constexpr std::uint16_t kEmpty = 0;
  struct Case {
    std::uint32_t state;
    std::uint16_t first_unit;
    bool counts;
  };
  const Case cases[] = {
      {0, kNamed, true},   // active
      {4, kNamed, true},   // disconnected
      {0, kEmpty, false},  // active without a user (the console before a logon)
      {4, kEmpty, false},
      // Connected, connect query, shadow, idle, listen, reset, down, init: never, even named.
      {1, kNamed, false},
      {2, kNamed, false},
      {3, kNamed, false},
      {5, kNamed, false},
      {6, kNamed, false},
      {7, kNamed, false},
      {8, kNamed, false},
      {9, kNamed, false},
      // States no Windows reports: only the disconnected bit may be set.
      {0x14, kNamed, false},
      {0x80000000, kNamed, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SessionHasLoggedOnUser(c.state, c.first_unit), c.counts)
        << "state " << c.state << " name unit " << c.first_unit;
  }
}

}  // namespace
}  // namespace qfu::worker
