// The running service through its real pipes: framing and size refusals, the info pipe's
// access rights and type filter, connection threads, many clients at once. What each message
// type does is tested in process (tests/unit/ipc/dispatcher_test.cpp).
#include <windows.h>

#include <gtest/gtest.h>
#include <latch>
#include <memory>
#include <optional>
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

// A message and what its reply must say: result, and when given, status and request name.
struct Expected {
  wire::MessageWriter message;
  std::uint32_t result = kDone;
  std::optional<std::uint32_t> status = {};
  std::string name = {};
};

// Writes the whole batch on one connection without waiting for replies, then checks the
// replies in order (a successful query or enumeration carries its time stamp item). Returns
// the first mismatch, or an empty text.
std::string SendBatch(const wchar_t* pipe_name, const std::vector<Expected>& batch) {
  RawPipe client(pipe_name);
  if (!client.valid()) return "cannot connect";
  for (const Expected& expected : batch) client.StartWrite(expected.message.span());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const Expected& e = batch[i];
    const Reply reply = client.Read(kReplyTimeoutMs);
    const std::uint32_t type = wire::RequestMessage(e.message.span()).type();
    const bool with_item =
        ResultOf(reply) == kDone && (type == wire::kQueryRequest || type == wire::kEnumerateRequests);
    if (reply.size() < wire::kStatusRecordSize || LengthOf(reply) != reply.size() ||
        ResultOf(reply) != e.result || (e.status && StatusOf(reply) != *e.status) ||
        (!e.name.empty() && NameOf(reply) != e.name) ||
        (reply.size() > wire::kStatusRecordSize) != with_item) {
      return "reply " + std::to_string(i) + " to type " + std::to_string(type) + ": " +
             std::to_string(reply.size()) + " bytes, result " + std::to_string(ResultOf(reply));
    }
  }
  return "";
}

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
  const Reply cancel = Cancel("pkg").bytes();
  const Reply user_agent =
      wire::MessageWriter(wire::kSetUserAgent).Instance(3).TextItem(wire::kUserAgentItem, "x").bytes();
  const wire::Bytes zero_length(too_short.data(), 0);
  const std::uint32_t framing = wire::kFramingErrorCode;
  const struct {
    const wchar_t* pipe;
    wire::Bytes message;
    std::uint32_t system_error, instance;
  } cases[] = {{kRequestPipe, zero_length, framing, 0},
               {kRequestPipe, too_short, framing, 0},
               {kRequestPipe, item_past_end, framing, 0},
               {kInfoPipe, zero_length, framing, 0},
               {kInfoPipe, too_short, framing, 0},
               {kInfoPipe, item_past_end, framing, 0},
               {kInfoPipe, submit, ERROR_ACCESS_DENIED, 9},
               {kInfoPipe, cancel, ERROR_ACCESS_DENIED, 0},
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

// Each message on a connection is read as soon as it arrives: a 100 ms poll between messages
// would take twice the bound, which leaves a loaded machine 50 ms for each round trip.
TEST_F(Pipes, AnswersOneMessageAfterAnotherOnAConnectionAtOnce) {
  AgentConnection info(kInfoPipe);
  ASSERT_TRUE(info.connected()) << info.error();
  const ULONGLONG started = ::GetTickCount64();
  for (int i = 0; i < 50; ++i) ASSERT_EQ(ResultOf(info.Send(Query("pkg").span())), kNoSuchRequest) << i;
  EXPECT_LT(::GetTickCount64() - started, 2500u);
}

// Idle clients keep a thread each while connected; clients that leave, silently or after a
// zero-length message, leave none behind.
TEST_F(Pipes, ClientsThatLeaveLeaveNoThreadBehind) {
  constexpr std::size_t kClients = 20;
  constexpr DWORD kThreadsSettleMs = 5000;
  const DWORD service = ServiceControl().ProcessId();
  const std::size_t baseline = CountThreads(service);
  ASSERT_GT(baseline, 0u);
  for (const int round : {0, 1, 2}) {  // silent, zero-length message, idle
    SCOPED_TRACE(round);
    {
      std::vector<std::unique_ptr<RawPipe>> clients;
      for (std::size_t i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<RawPipe>(i % 2 == 0 ? kRequestPipe : kInfoPipe));
        ASSERT_TRUE(clients.back()->valid());
        if (round == 1) clients.back()->StartWrite({});
      }
      if (round == 2) {
        EXPECT_TRUE(
            WaitUntil([&] { return CountThreads(service) >= baseline + kClients; }, kThreadsSettleMs));
      }
    }
    EXPECT_TRUE(WaitUntil([&] { return CountThreads(service) <= baseline; }, kThreadsSettleMs))
        << CountThreads(service) << " threads, " << baseline << " before";
  }
}

// The one load test. Each client writes its messages in batches, without waiting for each
// reply, so that the service finds messages queued back to back: first it submits, cancels
// and queries requests of its own on the request pipe; once every client has, it queries,
// enumerates and asks for postponed requests on the info pipe.
TEST_F(Pipes, ServesSixteenClientsAtOnce) {
  constexpr int kClients = 16;
  // Few messages on the request pipe: its caller check verifies the signature of this test
  // program for each of them, which takes tens of milliseconds under Wine.
  constexpr int kRequests = 2;
  constexpr std::uint32_t kAllRequests = kClients * kRequests;
  const auto name = [](int id, int n) { return "c" + std::to_string(id) + "n" + std::to_string(n); };
  const auto submit = [&](int id) {
    std::vector<Expected> batch;
    for (int n = 0; n < kRequests; ++n)
      batch.push_back({SubmitMessage(name(id, n)), kDone, wire::kQueued, name(id, n)});
    // Cancelled at once while waiting, or CancelRequested while the queue worker holds it.
    batch.push_back({Cancel(name(id, 0)), kDone, std::nullopt, name(id, 0)});
    batch.push_back({Query(name(id, 1)), kDone, wire::kQueued, name(id, 1)});
    return SendBatch(kRequestPipe, batch);
  };
  const auto query = [&](int id) {
    std::vector<Expected> batch = {{Query(name(id, 0)), kDone, std::nullopt, name(id, 0)},
                                   {Query(name(id, 1)), kDone, wire::kQueued, name(id, 1)},
                                   {Query(name(id, 2)), kNoSuchRequest, 0u, name(id, 2)}};
    for (std::uint32_t index = 0; index < kAllRequests; ++index)
      batch.push_back({.message = Enumerate(index)});
    batch.push_back({.message = Enumerate(kAllRequests), .result = kNothingToReport});
    for (const std::uint32_t type : {wire::kQueryPostponed, wire::kInstallPostponedNow})
      batch.push_back({.message = Query("", type), .result = kNothingToReport, .status = 0u});
    std::string failure;
    for (int round = 0; round < 6 && failure.empty(); ++round) failure = SendBatch(kInfoPipe, batch);
    return failure;
  };

  // Every client submits before any queries: the enumerations then see every request.
  std::vector<std::string> failures(kClients);
  std::latch submitted(kClients);
  std::vector<std::thread> clients;
  for (int id = 0; id < kClients; ++id) {
    clients.emplace_back([&, id] {
      failures[id] = submit(id);
      submitted.arrive_and_wait();
      if (failures[id].empty()) failures[id] = query(id);
    });
  }
  for (std::thread& client : clients) client.join();
  for (int id = 0; id < kClients; ++id) {
    EXPECT_EQ(failures[id], "") << "client " << id;
    EXPECT_EQ(WaitForStatus(kInfoPipe, name(id, 0), wire::kCancelled, 5000), wire::kCancelled) << id;
  }
  EXPECT_EQ(RequestKeyNames().size(), kAllRequests);
}

}  // namespace
}  // namespace qfu
