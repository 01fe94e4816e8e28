#include "service/service_rules.h"

#include <gtest/gtest.h>

namespace qfu::service {
namespace {

TEST(ServiceRules, StopsOnStopShutdownAndPreshutdownOnly) {
  for (std::uint32_t control = 0; control < 40; ++control) {
    const bool stops = control == 1 || control == 5 || control == 15;
    EXPECT_EQ(IsStopControl(control), stops) << "control " << control;
  }
  EXPECT_FALSE(IsStopControl(0xFFFFFFFF));
}

TEST(ServiceRules, NewerWindowsFromSixPointThree) {
  struct Case {
    std::uint32_t major, minor;
    bool newer;
  };
  for (const Case& c : {Case{5, 9, false}, Case{6, 0, false}, Case{6, 2, false}, Case{6, 3, true},
                        Case{6, 4, true}, Case{7, 0, true}, Case{10, 0, true}}) {
    EXPECT_EQ(IsNewerWindows(c.major, c.minor), c.newer) << c.major << "." << c.minor;
  }
}

}  // namespace
}  // namespace qfu::service
