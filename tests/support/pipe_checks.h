#pragma once
// Checks and drivers for the tests of the running service's pipes: an error reply that ends
// its connection, the service's thread count against a baseline, and clients that run at once
// in two phases.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/pipe_harness.h"
#include "support/running_service.h"

namespace qfu::test {

// Expects a bare error reply (a 159-byte status record: BadMessage and that system error)
// and a connection that the service ended after it.
void ExpectRefusedAndClosed(AgentConnection& connection, const Reply& reply, std::uint32_t system_error);

// The number of threads of the running service's process, against the number when the
// object was made (the baseline).
class ServiceThreads {
 public:
  ServiceThreads();

  // True when the service's process was found and its threads counted.
  [[nodiscard]] bool valid() const { return baseline_ > 0; }
  [[nodiscard]] std::size_t baseline() const { return baseline_; }
  // Counts every 50 ms, for at most timeout_ms, until the count is at most the baseline plus
  // extra (AtMost) or at least that (AtLeast); returns the last count.
  [[nodiscard]] std::size_t AtMost(std::size_t extra, DWORD timeout_ms) const;
  [[nodiscard]] std::size_t AtLeast(std::size_t extra, DWORD timeout_ms) const;

 private:
  DWORD process_id_ = 0;
  std::size_t baseline_ = 0;
};

// Connects count raw clients into clients, alternately to the request pipe and the info pipe,
// each writing a zero-length message when asked; false when one could not connect.
[[nodiscard]] bool ConnectClients(std::size_t count, bool zero_length_message,
                                  std::vector<std::unique_ptr<RawPipe>>& clients);

// Runs count clients on threads of their own at once: each runs first(id), waits until every
// client has, then runs second(id). Each returns an empty text or what went wrong; returns
// what went wrong for each client, a phase's text or "".
[[nodiscard]] std::vector<std::string> RunClientsInTwoPhases(int count,
                                                             const std::function<std::string(int)>& first,
                                                             const std::function<std::string(int)>& second);

}  // namespace qfu::test
