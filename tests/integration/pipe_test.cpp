// The running service through its real pipes: framing and size refusals, the info pipe's
// access rights and type filter, error replies, connections and their threads, many clients
// at once. What each message type does is tested in process
// (tests/unit/ipc/dispatcher_test.cpp).
#include <windows.h>

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "support/message_bytes.h"
#include "support/pipe_checks.h"
#include "support/pipe_harness.h"
#include "support/running_service.h"
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

// A message over the cap is refused from its size alone: the service ends the connection
// without taking it.
TEST_F(Pipes, RefusesAMessageOverTheSizeCapUnreadAndServesOneAtTheCap) {
  for (const std::size_t size : {wire::kMaxMessageSize + 1, wire::kMaxMessageSize}) {
    SCOPED_TRACE(size);
    const bool refused = size > wire::kMaxMessageSize;
    RawPipe client(kRequestPipe);
    ASSERT_TRUE(client.valid());
    client.StartWrite(PaddedQuery("capped", size).span());
    const Reply reply = client.Read(kReplyTimeoutMs);
    EXPECT_EQ(client.WritesTaken(kReplyTimeoutMs), !refused);
    ASSERT_EQ(reply.size(), wire::kStatusRecordSize);
    EXPECT_EQ(ResultOf(reply), refused ? kBadMessage : kNoSuchRequest);
    EXPECT_EQ(ErrorOf(reply), refused ? wire::kFramingErrorCode : 0u);
    EXPECT_EQ(NameOf(reply), refused ? "" : "capped");
  }
}

// Everyone may read and write messages and switch to message mode, but neither create
// instances of the pipe (and answer other users' clients) nor change its DACL.
TEST_F(Pipes, InfoPipeGrantsEveryoneReadAndWriteOnlyAndAdministratorsFullControl) {
  std::vector<AccessEntry> dacl;
  ASSERT_EQ(ReadPipeDacl(kInfoPipe, dacl), static_cast<DWORD>(ERROR_SUCCESS));
  const std::vector<AccessEntry> expected = {
      {L"S-1-1-0", FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES},
      {L"S-1-5-18", FILE_ALL_ACCESS},
      {L"S-1-5-32-544", FILE_ALL_ACCESS}};
  EXPECT_EQ(dacl, expected);
}

// After a reply with instance number 7, a malformed message (on either pipe) or one of a type
// that the info pipe does not serve (on it) is refused with an error reply, which ends the
// connection, and nothing of it is carried out. The error reply carries its own message's
// instance number, or 0 when the message was not read as one, and nothing else of the
// previous reply. The types the info pipe serves are served in ServesSixteenClientsAtOnce, and
// which framings pass is tested on PassesFramingCheck.
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
    std::uint32_t system_error;
    std::uint32_t instance;
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
    ExpectRefusedAndClosed(connection, reply, c.system_error);
    EXPECT_EQ(InstanceOf(reply), c.instance);
    EXPECT_EQ(NameOf(reply), "");
  }
  EXPECT_EQ(RequestKeyNames(), std::vector<std::wstring>{L"pkg"});
  EXPECT_EQ(StatusOf(SendOnce(kInfoPipe, Query("pkg").span())), wire::kQueued);
  EXPECT_FALSE(StoredUserAgent().has_value());
}

// Each message on a connection is read as soon as it arrives: the service does not poll.
TEST_F(Pipes, AnswersOneMessageAfterAnotherOnAConnectionAtOnce) {
  constexpr int kMessages = 20;
  constexpr ULONGLONG kBoundMs = 1000;  // a 100 ms poll between messages would take twice as long
  AgentConnection info(kInfoPipe);
  ASSERT_TRUE(info.connected()) << info.error();
  const ULONGLONG started = ::GetTickCount64();
  for (int i = 0; i < kMessages; ++i)
    ASSERT_EQ(ResultOf(info.Send(Query("pkg").span())), kNoSuchRequest) << i;
  EXPECT_LT(::GetTickCount64() - started, kBoundMs);
}

// Idle clients keep a thread each while connected; clients that leave, silently or after a
// zero-length message, leave none behind.
TEST_F(Pipes, ClientsThatLeaveLeaveNoThreadBehind) {
  constexpr std::size_t kClients = 20;
  constexpr DWORD kThreadsSettleMs = 5000;
  const ServiceThreads threads;
  ASSERT_TRUE(threads.valid());
  for (const bool zero_length : {false, true}) {
    SCOPED_TRACE(zero_length ? "zero-length message" : "silent");
    std::vector<std::unique_ptr<RawPipe>> leaving;
    ASSERT_TRUE(ConnectClients(kClients, zero_length, leaving));
    leaving.clear();
    EXPECT_LE(threads.AtMost(0, kThreadsSettleMs), threads.baseline());
  }
  {
    std::vector<std::unique_ptr<RawPipe>> idle;
    ASSERT_TRUE(ConnectClients(kClients, false, idle));
    EXPECT_GE(threads.AtLeast(kClients, kThreadsSettleMs), threads.baseline() + kClients);
  }
  EXPECT_LE(threads.AtMost(0, kThreadsSettleMs), threads.baseline());
}

// Each client writes its messages in batches, without waiting for each reply, so that the
// service finds messages queued back to back. First it submits, cancels and queries
// requests of its own on the request pipe; once every client has, it queries, enumerates
// and asks for postponed requests on the info pipe.
TEST_F(Pipes, ServesSixteenClientsAtOnce) {
  constexpr int kClients = 16;
  // Few messages on the request pipe: its caller check verifies the signature of this test
  // program for each of them, which takes tens of milliseconds under Wine.
  constexpr int kRequestsPerClient = 2;
  constexpr int kRounds = 6;
  constexpr DWORD kCancelSettlesMs = 5000;
  constexpr std::uint32_t kAllRequests = kClients * kRequestsPerClient;
  const auto name = [](int id, int n) { return "c" + std::to_string(id) + "n" + std::to_string(n); };

  const auto submit = [&](int id) {
    std::vector<Expected> requests;
    for (int n = 0; n < kRequestsPerClient; ++n) {
      requests.emplace_back(SubmitMessage(name(id, n)), kDone, wire::kQueued, name(id, n));
    }
    // Cancelled at once while waiting, or CancelRequested while the queue worker holds it.
    requests.emplace_back(Cancel(name(id, 0)), kDone, std::nullopt, name(id, 0));
    requests.emplace_back(Query(name(id, 1)), kDone, wire::kQueued, name(id, 1));
    return SendBatch(kRequestPipe, requests);
  };
  const auto query = [&](int id) {
    std::vector<Expected> queries;
    for (int n = 0; n < kRequestsPerClient; ++n) {
      queries.emplace_back(Query(name(id, n)), kDone, n == 0 ? std::nullopt : std::optional(wire::kQueued),
                           name(id, n));
    }
    queries.emplace_back(Query(name(id, kRequestsPerClient)), kNoSuchRequest, wire::UpdateStatus{},
                         name(id, kRequestsPerClient));
    for (std::uint32_t index = 0; index < kAllRequests; ++index) queries.emplace_back(Enumerate(index));
    queries.emplace_back(Enumerate(kAllRequests), kNothingToReport);
    queries.emplace_back(Query("", wire::kQueryPostponed), kNothingToReport, wire::UpdateStatus{});
    queries.emplace_back(Query("", wire::kInstallPostponedNow), kNothingToReport, wire::UpdateStatus{});
    std::string failure;
    for (int round = 0; round < kRounds && failure.empty(); ++round) failure = SendBatch(kInfoPipe, queries);
    return failure;
  };

  const std::vector<std::string> failures = RunClientsInTwoPhases(kClients, submit, query);
  for (int id = 0; id < kClients; ++id) {
    EXPECT_EQ(failures[id], "") << "client " << id;
    EXPECT_EQ(WaitForStatus(kInfoPipe, name(id, 0), wire::kCancelled, kCancelSettlesMs), wire::kCancelled)
        << id;
  }
  EXPECT_EQ(RequestKeyNames().size(), kAllRequests);
}

}  // namespace
}  // namespace qfu
