// The running service through its real pipes: framing and size refusals, the info pipe's
// access rights and type filter, error replies, connections and their threads, many clients
// at once. What each message type does is tested in process
// (tests/unit/ipc/dispatcher_test.cpp).
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/running_service.h"
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

// Expects a 159-byte error reply and a connection that the service ended after it.
void ExpectRefusedAndClosed(AgentConnection& connection, const Reply& reply, std::uint32_t system_error) {
  ASSERT_EQ(reply.size(), wire::kStatusRecordSize) << "no reply: error " << connection.error();
  EXPECT_EQ(ReadU32(reply, wire::kRecordSizeAt), wire::kStatusRecordSize);
  EXPECT_EQ(LengthOf(reply), wire::kStatusRecordSize);
  EXPECT_EQ(ResultOf(reply), kBadMessage);
  EXPECT_EQ(ErrorOf(reply), system_error);
  EXPECT_TRUE(connection.Send(Query("after").span()).empty()) << "the connection stayed open";
}

TEST_F(Pipes, RefusesMalformedMessagesOnEitherPipeAndEndsTheConnection) {
  Reply too_short = Query("pkg").bytes();
  too_short.resize(100);

  wire::MessageWriter overrunning_item = Query("pkg");
  overrunning_item.RawItem(wire::kPromptTextItem, "abc");
  Reply item_past_end = overrunning_item.bytes();
  WriteU32(item_past_end, wire::kHeaderSize + 4, 100);  // the item claims 100 bytes, 3 follow

  Reply items_end_past_message = overrunning_item.bytes();
  WriteU32(items_end_past_message, wire::kItemsEndAt, static_cast<std::uint32_t>(items_end_past_message.size() + 8));

  Reply item_past_items_end = overrunning_item.bytes();
  WriteU32(item_past_items_end, wire::kItemsEndAt, static_cast<std::uint32_t>(item_past_items_end.size() - 1));

  const wire::Bytes zero_length(too_short.data(), 0);
  for (const wchar_t* pipe : {kRequestPipe, kInfoPipe}) {
    for (const wire::Bytes message : {zero_length, wire::Bytes(too_short), wire::Bytes(item_past_end),
                                      wire::Bytes(items_end_past_message), wire::Bytes(item_past_items_end)}) {
      SCOPED_TRACE(testing::Message() << (pipe == kInfoPipe ? "info pipe, " : "request pipe, ") << message.size());
      AgentConnection connection(pipe);
      ASSERT_TRUE(connection.connected()) << connection.error();
      ExpectRefusedAndClosed(connection, connection.Send(message), wire::kFramingErrorCode);
    }
  }
}

TEST_F(Pipes, RefusesAMessageOverTheSizeCapUnreadAndServesOneAtTheCap) {
  {
    RawPipe client(kRequestPipe);
    ASSERT_TRUE(client.valid());
    client.StartWrite(PaddedQuery("capped", wire::kMaxMessageSize + 1).span());
    const Reply reply = client.Read(kReplyTimeoutMs);
    ASSERT_EQ(reply.size(), wire::kStatusRecordSize);
    EXPECT_EQ(ResultOf(reply), kBadMessage);
    EXPECT_EQ(ErrorOf(reply), wire::kFramingErrorCode);
    // Refused from its size alone: the service ends the connection without taking it.
    EXPECT_FALSE(client.WritesTaken(kReplyTimeoutMs));
  }
  RawPipe client(kRequestPipe);
  ASSERT_TRUE(client.valid());
  client.StartWrite(PaddedQuery("capped", wire::kMaxMessageSize).span());
  const Reply reply = client.Read(kReplyTimeoutMs);
  EXPECT_TRUE(client.WritesTaken(kReplyTimeoutMs));
  ASSERT_EQ(reply.size(), wire::kStatusRecordSize);
  EXPECT_EQ(ResultOf(reply), kNoSuchRequest);
  EXPECT_EQ(NameOf(reply), "capped");
}

// Everyone may read and write messages and switch to message mode, but neither create
// instances of the pipe (and answer other users' clients) nor change its DACL.
TEST_F(Pipes, InfoPipeGrantsEveryoneReadAndWriteOnlyAndAdministratorsFullControl) {
  std::vector<AccessEntry> dacl;
  ASSERT_EQ(ReadPipeDacl(kInfoPipe, dacl), static_cast<DWORD>(ERROR_SUCCESS));
  const std::vector<AccessEntry> expected = {{L"S-1-1-0", FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES},
                                             {L"S-1-5-18", FILE_ALL_ACCESS},
                                             {L"S-1-5-32-544", FILE_ALL_ACCESS}};
  EXPECT_EQ(dacl, expected);
}

TEST_F(Pipes, InfoPipeServesQueriesAndPostponedOnlyAndEndsOtherTypes) {
  ASSERT_EQ(ResultOf(SendOnce(kRequestPipe, SubmitMessage("pkg").span())), kDone);

  AgentConnection info(kInfoPipe);
  ASSERT_TRUE(info.connected()) << info.error();
  Reply reply = info.Send(Query("pkg").span());
  EXPECT_EQ(ResultOf(reply), kDone);
  EXPECT_EQ(StatusOf(reply), wire::kQueued);
  reply = info.Send(Enumerate(0).span());
  EXPECT_EQ(ResultOf(reply), kDone);
  EXPECT_EQ(NameOf(reply), "pkg");
  EXPECT_EQ(ResultOf(info.Send(Query("", wire::kQueryPostponed).span())), kNothingToReport);
  EXPECT_EQ(ResultOf(info.Send(Query("", wire::kInstallPostponedNow).span())), kNothingToReport);

  const std::vector<wire::MessageWriter> refused = {
      SubmitMessage("other"), Cancel("pkg"),
      std::move(wire::MessageWriter(wire::kSetUserAgent).TextItem(wire::kUserAgentItem, "x"))};
  for (const wire::MessageWriter& message : refused) {
    SCOPED_TRACE(wire::RequestMessage(message.span()).type());
    AgentConnection connection(kInfoPipe);
    ASSERT_TRUE(connection.connected()) << connection.error();
    ExpectRefusedAndClosed(connection, connection.Send(message.span()), ERROR_ACCESS_DENIED);
  }
  // Nothing was carried out.
  EXPECT_EQ(RequestKeyNames(), std::vector<std::wstring>{L"pkg"});
  EXPECT_EQ(StatusOf(SendOnce(kInfoPipe, Query("pkg").span())), wire::kQueued);
  EXPECT_FALSE(StoredUserAgent().has_value());
}

// An error reply that follows a reply with instance number 7 carries its own message's
// instance number, or 0 when the message was not read as one, and nothing else of the
// previous reply.
TEST_F(Pipes, ErrorReplyCarriesItsOwnMessagesInstanceNumberOnly) {
  Reply too_short = Query("second").bytes();
  too_short.resize(100);
  struct Case {
    Reply second;
    std::uint32_t system_error;
    std::uint32_t instance;
  };
  const Case cases[] = {{too_short, wire::kFramingErrorCode, 0},
                        {Cancel("second").Instance(9).bytes(), ERROR_ACCESS_DENIED, 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.system_error);
    AgentConnection info(kInfoPipe);
    ASSERT_TRUE(info.connected()) << info.error();
    ASSERT_EQ(InstanceOf(info.Send(Query("first").Instance(7).span())), 7u);
    const Reply reply = info.Send(c.second);
    ExpectRefusedAndClosed(info, reply, c.system_error);
    EXPECT_EQ(InstanceOf(reply), c.instance);
    EXPECT_EQ(NameOf(reply), "");
  }
}

// Each message on a connection is read as soon as it arrives: the service does not poll.
TEST_F(Pipes, AnswersOneMessageAfterAnotherOnAConnectionAtOnce) {
  constexpr int kMessages = 20;
  constexpr ULONGLONG kBoundMs = 1000;  // a 100 ms poll between messages would take twice as long
  AgentConnection info(kInfoPipe);
  ASSERT_TRUE(info.connected()) << info.error();
  const ULONGLONG started = ::GetTickCount64();
  for (int i = 0; i < kMessages; ++i) ASSERT_EQ(ResultOf(info.Send(Query("pkg").span())), kNoSuchRequest) << i;
  EXPECT_LT(::GetTickCount64() - started, kBoundMs);
}

// Idle clients keep a thread each while connected; clients that leave, silently or after a
// zero-length message, leave none behind.
TEST_F(Pipes, ClientsThatLeaveLeaveNoThreadBehind) {
  constexpr std::size_t kClients = 20;
  constexpr DWORD kThreadsSettleMs = 5000;
  const DWORD process_id = ServiceControl().ProcessId();
  ASSERT_NE(process_id, 0u);
  const std::size_t before = CountThreads(process_id);
  ASSERT_GT(before, 0u);
  const auto settled = [&](std::size_t count) { return count <= before; };
  for (const bool zero_length : {false, true}) {
    SCOPED_TRACE(zero_length ? "zero-length message" : "silent");
    for (std::size_t i = 0; i < kClients; ++i) {
      RawPipe leaving(i % 2 == 0 ? kRequestPipe : kInfoPipe);
      ASSERT_TRUE(leaving.valid());
      if (zero_length) leaving.StartWrite({});
    }
    EXPECT_LE(WaitForThreadCount(process_id, settled, kThreadsSettleMs), before);
  }
  {
    std::vector<std::unique_ptr<RawPipe>> clients;
    for (std::size_t i = 0; i < kClients; ++i) {
      clients.push_back(std::make_unique<RawPipe>(i % 2 == 0 ? kRequestPipe : kInfoPipe));
      ASSERT_TRUE(clients.back()->valid());
    }
    const auto all_served = [&](std::size_t count) { return count >= before + kClients; };
    EXPECT_GE(WaitForThreadCount(process_id, all_served, kThreadsSettleMs), before + kClients);
  }
  EXPECT_LE(WaitForThreadCount(process_id, settled, kThreadsSettleMs), before);
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
  std::latch submitted(kClients);
  std::vector<std::string> failures(kClients);
  std::atomic<std::size_t> messages{0};

  auto client = [&](int id) {
    auto name = [&](int n) { return "c" + std::to_string(id) + "n" + std::to_string(n); };
    std::vector<Expected> requests;
    for (int n = 0; n < kRequestsPerClient; ++n) {
      requests.emplace_back(SubmitMessage(name(n)), kDone, wire::kQueued, name(n));
    }
    // Cancelled at once while waiting, or CancelRequested while the queue worker holds it.
    requests.emplace_back(Cancel(name(0)), kDone, std::nullopt, name(0));
    requests.emplace_back(Query(name(1)), kDone, wire::kQueued, name(1));
    failures[id] = SendBatch(kRequestPipe, requests);
    messages += requests.size();
    submitted.arrive_and_wait();

    std::vector<Expected> queries;
    for (int n = 0; n < kRequestsPerClient; ++n) {
      queries.emplace_back(Query(name(n)), kDone, n == 0 ? std::nullopt : std::optional(wire::kQueued), name(n));
    }
    queries.emplace_back(Query(name(kRequestsPerClient)), kNoSuchRequest, 0u, name(kRequestsPerClient));
    for (std::uint32_t index = 0; index < kAllRequests; ++index) queries.emplace_back(Enumerate(index));
    queries.emplace_back(Enumerate(kAllRequests), kNothingToReport);
    queries.emplace_back(Query("", wire::kQueryPostponed), kNothingToReport, 0u);
    queries.emplace_back(Query("", wire::kInstallPostponedNow), kNothingToReport, 0u);
    for (int round = 0; round < kRounds && failures[id].empty(); ++round) {
      failures[id] = SendBatch(kInfoPipe, queries);
      messages += queries.size();
    }
  };

  const ULONGLONG started = ::GetTickCount64();
  std::vector<std::thread> threads;
  for (int id = 0; id < kClients; ++id) threads.emplace_back(client, id);
  for (auto& thread : threads) thread.join();
  for (int id = 0; id < kClients; ++id) {
    EXPECT_EQ(failures[id], "") << "client " << id;
    const std::string cancelled = "c" + std::to_string(id) + "n0";
    EXPECT_EQ(WaitForStatus(kInfoPipe, cancelled, wire::kCancelled, kCancelSettlesMs), wire::kCancelled) << cancelled;
  }
  std::printf("%zu messages from %d clients in %llu ms\n", messages.load(), kClients, ::GetTickCount64() - started);
  EXPECT_EQ(RequestKeyNames().size(), kAllRequests);
}

}  // namespace
}  // namespace qfu
