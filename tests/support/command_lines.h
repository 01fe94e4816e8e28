#pragma once
// Command lines of qfupdatectl as the tests of its options write them. Header-only, so that
// the native tests use it too.
#include <cstdint>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

#include "qfupdatectl/request_options.h"

namespace qfu::test {

using Arguments = std::vector<std::string>;

// The message of arguments that must be accepted (a failure of the test, and an empty
// message, when they are refused).
[[nodiscard]] inline std::vector<std::uint8_t> MessageOf(const Arguments& arguments) {
  const ctl::ParseOutcome outcome = ctl::ParseCommandLine(arguments);
  EXPECT_TRUE(outcome.command_line.has_value()) << arguments[0] << ": " << outcome.error;
  return outcome.command_line ? outcome.command_line->message : std::vector<std::uint8_t>();
}

// "submit C --url u" and more arguments.
[[nodiscard]] inline Arguments Submit(std::initializer_list<std::string> more) {
  Arguments arguments = {"submit", "C", "--url", "u"};
  arguments.insert(arguments.end(), more);
  return arguments;
}

}  // namespace qfu::test
