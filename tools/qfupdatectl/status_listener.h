#pragma once
// `watch`: serves the status pipe and prints one line per status change.
#include "command_line.h"

namespace qfu::ctl {

// How many instances of the status pipe wait for the agent. One, served by one thread, so that
// the changes print in the order the agent sent them: the agent writes each notification on a
// connection of its own, and with several instances their reader threads could print a later
// change first. The agent waits (bounded) while the instance is busy with the previous one.
inline constexpr unsigned kStatusPipeInstances = 1;

// Serves line.pipe until Ctrl+C, line.count records, or line.timeout_seconds. Returns the
// exit code: 0 when stopped by Ctrl+C, by reaching the count, or by the timeout when no
// count was asked for; 1 when the pipe cannot be served or the count was not reached in time.
[[nodiscard]] int RunStatusListener(const CommandLine& line);

}  // namespace qfu::ctl
