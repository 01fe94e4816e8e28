// The running service through its real pipes: framing and size refusals, the info pipe's
// access rights and type filter, many clients at once and the threads they leave. What each message
// type does is tested in process (tests/unit/ipc/dispatcher_test.cpp).
#include <windows.h>

#include <gtest/gtest.h>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "store/request_key.h"
#include "support/message_bytes.h"
#include "support/pipe_harness.h"
#include "support/service_control.h"
#include "support/test_messages.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace qfu {
namespace {

using namespace test;
using namespace wire::result;

const wchar_t* const kRequestPipe = wire::kRequestPipeName;
const wchar_t* const kInfoPipe = wire::kInfoPipeName;

class Pipes : public RunningService {};

// Everyone may read and write messages and switch to message mode, but neither create
// instances of the pipe (and answer other users' clients) nor change its DACL. A message over
// the size cap is refused from its size alone: the service ends the connection unread.
TEST_F(Pipes, InfoPipeGrantsEveryoneReadAndWriteOnlyAndRefusesAMessageOverTheCapUnread) {
  std::vector<AccessEntry> dacl;
  ASSERT_EQ(ReadPipeDacl(kInfoPipe, dacl), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(dacl, (std::vector<AccessEntry>{
                      {L"S-1-1-0", FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES},
                      {L"S-1-5-18", FILE_ALL_ACCESS},
                      {L"S-1-5-32-544", FILE_ALL_ACCESS}}));
  for (const std::size_t size : {wire::kMaxMessageSize + 1, wire::kMaxMessageSize}) {
    SCOPED_TRACE(size);
    const bool refused = size > wire::kMaxMessageSize;
    RawPipe client(kRequestPipe);
    ASSERT_TRUE(client.valid());
    client.StartWrite(Query("capped")
                          .RawItem(wire::kPromptTextItem,
                                   std::string(size - wire::kHeaderSize - wire::kItemHeaderSize, 'x'))
                          .span());
    const Reply reply = client.Read(kReplyTimeoutMs);
    EXPECT_EQ(client.WritesTaken(kReplyTimeoutMs), !refused);
    ASSERT_EQ(reply.size(), wire::kStatusRecordSize);
    EXPECT_EQ(ResultOf(reply), refused ? kBadMessage : kNoSuchRequest);
    EXPECT_EQ(ErrorOf(reply), refused ? wire::kFramingErrorCode : 0u);
    EXPECT_EQ(NameOf(reply), refused ? "" : "capped");
  }
}

// After a reply with instance number 7, a malformed message (on either pipe) or one of a type
// that the info pipe does not serve (on it) is refused with a bare error reply, which ends the
// connection, and nothing of it is carried out. The error reply carries its own message's
// instance number, or 0 when the message was not read as one, and nothing of the previous reply.
TEST_F(Pipes, RefusesMalformedMessagesAndOtherTypesOnTheInfoPipeWithErrorRepliesOfTheirOwn) {
  ASSERT_EQ(ResultOf(SendOnce(kRequestPipe, SubmitMessage("pkg").span())), kDone);
  const Reply too_short = Resized(Query("second").bytes(), 100);
  const Reply item_past_end =  // the item claims 100 bytes, 3 follow
      Patched(Query("second").RawItem(wire::kPromptTextItem, "abc").bytes(), wire::kHeaderSize + 4, 100);
  const Reply submit = SubmitMessage("other").Instance(9).bytes();
  const Reply user_agent =
      wire::MessageWriter(wire::kSetUserAgent).Instance(3).TextItem(wire::kUserAgentItem, "x").bytes();
  const wire::Bytes zero_length(too_short.data(), 0);
  const std::uint32_t framing = wire::kFramingErrorCode;
  const struct {
    const wchar_t* pipe;
    wire::Bytes message;
    std::uint32_t system_error, instance;
  } cases[] = {{kRequestPipe, zero_length, framing, 0},
               {kRequestPipe, item_past_end, framing, 0},
               {kInfoPipe, too_short, framing, 0},
               {kInfoPipe, submit, ERROR_ACCESS_DENIED, 9},
               {kInfoPipe, user_agent, ERROR_ACCESS_DENIED, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.pipe == kInfoPipe ? "info pipe, " : "request pipe, ")
                                    << c.message.size() << " bytes, type "
                                    << wire::RequestMessage(c.message).type());
    AgentConnection connection(c.pipe);
    ASSERT_TRUE(connection.connected()) << connection.error();
    ASSERT_EQ(InstanceOf(connection.Send(Query("first").Instance(7).span())), 7u);
    const Reply reply = connection.Send(c.message);
    ASSERT_EQ(reply.size(), wire::kStatusRecordSize) << "no reply: error " << connection.error();
    EXPECT_EQ(ReadU32(reply, wire::kRecordSizeAt), wire::kStatusRecordSize);
    EXPECT_EQ(LengthOf(reply), wire::kStatusRecordSize);
    EXPECT_EQ(ResultOf(reply), kBadMessage);
    EXPECT_EQ(ErrorOf(reply), c.system_error);
    EXPECT_EQ(InstanceOf(reply), c.instance);
    EXPECT_EQ(NameOf(reply), "");
    EXPECT_TRUE(connection.Send(Query("after").span()).empty()) << "the connection stayed open";
  }
  EXPECT_EQ(RequestKeyNames(), std::vector<std::wstring>{L"pkg"});
  EXPECT_EQ(StatusOf(SendOnce(kInfoPipe, Query("pkg").span())), wire::kQueued);
  EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, store::kServiceKeyPath, L"UserAgent", RRF_RT_ANY, nullptr,
                           nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);
}

// Sixteen clients at once: each submits and cancels a request of its own on the request pipe
// (whose caller check verifies this program's signature for each message), then, once every
// client has, writes a query and an enumeration back to back on the info pipe. Then clients
// that leave silently or after a zero-length message: no connection keeps a thread.
TEST_F(Pipes, ServesSixteenClientsAtOnceAndLeavesNoThreadBehind) {
  constexpr std::uint32_t kClients = 16;
  constexpr DWORD kThreadsSettleMs = 5000;
  const DWORD service = ServiceControl().ProcessId();
  const std::size_t baseline = CountThreads(service);
  ASSERT_GT(baseline, 0u);
  std::vector<std::string> failures(kClients);
  std::latch submitted(kClients);
  std::vector<std::thread> clients;
  for (std::uint32_t id = 0; id < kClients; ++id) {
    clients.emplace_back([&, id] {
      const std::string name = "c" + std::to_string(id);
      AgentConnection requests(kRequestPipe);
      const Reply submit = requests.Send(SubmitMessage(name).span());
      const Reply cancel = requests.Send(Cancel(name).span());
      submitted.arrive_and_wait();
      RawPipe info(kInfoPipe);
      info.StartWrite(Query(name).span());
      info.StartWrite(Enumerate(kClients).span());
      const Reply query = info.Read(kReplyTimeoutMs);
      const Reply past_end = info.Read(kReplyTimeoutMs);
      if (ResultOf(submit) != kDone || StatusOf(submit) != wire::kQueued || ResultOf(cancel) != kDone ||
          NameOf(cancel) != name || ResultOf(query) != kDone || NameOf(query) != name ||
          ResultOf(past_end) != kNothingToReport) {
        failures[id] = "results " + std::to_string(WireValue(ResultOf(submit))) + ", " +
                       std::to_string(WireValue(ResultOf(cancel))) + ", " +
                       std::to_string(WireValue(ResultOf(query))) + ", " +
                       std::to_string(WireValue(ResultOf(past_end)));
      }
    });
  }
  for (std::thread& client : clients) client.join();
  for (std::uint32_t id = 0; id < kClients; ++id) {
    EXPECT_EQ(failures[id], "") << "client " << id;
    const std::string name = "c" + std::to_string(id);
    EXPECT_EQ(WaitForStatus(kInfoPipe, name, wire::kCancelled, 5000), wire::kCancelled) << id;
  }
  EXPECT_EQ(RequestKeyNames().size(), kClients);
  {
    std::vector<std::unique_ptr<RawPipe>> leaving;
    for (std::uint32_t i = 0; i < kClients; ++i) {
      leaving.push_back(std::make_unique<RawPipe>(i % 2 == 0 ? kRequestPipe : kInfoPipe));
      ASSERT_TRUE(leaving.back()->valid());
      if (i % 4 < 2) leaving.back()->StartWrite({});
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return CountThreads(service) <= baseline; }, kThreadsSettleMs))
      << CountThreads(service) << " threads, " << baseline << " before";
}

}  // namespace
}  // namespace qfu
