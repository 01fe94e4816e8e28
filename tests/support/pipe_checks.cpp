#include "support/pipe_checks.h"

#include <gtest/gtest.h>
#include <latch>
#include <thread>

#include "common/bytes.h"
#include "support/process.h"
#include "support/service_control.h"
#include "support/test_messages.h"
#include "wire/pipes.h"

namespace qfu::test {

void ExpectRefusedAndClosed(AgentConnection& connection, const Reply& reply, std::uint32_t system_error) {
  ASSERT_EQ(reply.size(), wire::kStatusRecordSize) << "no reply: error " << connection.error();
  EXPECT_EQ(ReadU32(reply, wire::kRecordSizeAt), wire::kStatusRecordSize);
  EXPECT_EQ(LengthOf(reply), wire::kStatusRecordSize);
  EXPECT_EQ(ResultOf(reply), wire::result::kBadMessage);
  EXPECT_EQ(ErrorOf(reply), system_error);
  EXPECT_TRUE(connection.Send(Query("after").span()).empty()) << "the connection stayed open";
}

ServiceThreads::ServiceThreads() : process_id_(ServiceControl().ProcessId()) {
  if (process_id_ != 0) baseline_ = CountThreads(process_id_);
}

std::size_t ServiceThreads::AtMost(std::size_t extra, DWORD timeout_ms) const {
  return WaitForThreadCount(
      process_id_, [&](std::size_t count) { return count <= baseline_ + extra; }, timeout_ms);
}

std::size_t ServiceThreads::AtLeast(std::size_t extra, DWORD timeout_ms) const {
  return WaitForThreadCount(
      process_id_, [&](std::size_t count) { return count >= baseline_ + extra; }, timeout_ms);
}

bool ConnectClients(std::size_t count, bool zero_length_message,
                    std::vector<std::unique_ptr<RawPipe>>& clients) {
  for (std::size_t i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<RawPipe>(i % 2 == 0 ? wire::kRequestPipeName : wire::kInfoPipeName));
    if (!clients.back()->valid()) return false;
    if (zero_length_message) clients.back()->StartWrite({});
  }
  return true;
}

std::vector<std::string> RunClientsInTwoPhases(int count, const std::function<std::string(int)>& first,
                                               const std::function<std::string(int)>& second) {
  std::vector<std::string> failures(static_cast<std::size_t>(count));
  std::latch first_done(count);
  std::vector<std::thread> threads;
  for (int id = 0; id < count; ++id) {
    threads.emplace_back([&, id] {
      std::string& failure = failures[static_cast<std::size_t>(id)];
      failure = first(id);
      first_done.arrive_and_wait();
      if (failure.empty()) failure = second(id);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return failures;
}

}  // namespace qfu::test
