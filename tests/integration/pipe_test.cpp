// The running service through its real pipes: framing and size refusals, the info pipe's
// type filter, connections and their threads, many clients at once. What each message type
// does is tested in process (tests/unit/ipc/dispatcher_test.cpp).
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "common/handle.h"
#include "common/utf.h"
#include "ipc/pipe_server.h"
#include "qfupdatectl/pipe_client.h"
#include "wire/update_status.h"
#include "support/test_messages.h"
#include "support/running_service.h"
#include "support/service_control.h"

namespace qfu {
namespace {

using Reply = std::vector<std::uint8_t>;
using test::AgentConnection;
using test::SendOnce;
using test::SubmitMessage;
using namespace wire::result;

const wchar_t* const kRequestPipe = wire::kRequestPipeName;
const wchar_t* const kInfoPipe = wire::kInfoPipeName;

class Pipes : public test::RunningService {};

std::uint32_t ResultOf(const Reply& reply) { return ReadU32(reply, wire::kResultCodeAt); }
std::uint32_t StatusOf(const Reply& reply) { return ReadU32(reply, wire::kUpdateStatusAt); }
std::uint32_t ErrorOf(const Reply& reply) { return ReadU32(reply, wire::kSystemErrorCodeAt); }
std::uint32_t LengthOf(const Reply& reply) { return ReadU32(reply, wire::kLengthAt); }
std::string NameOf(const Reply& reply) {
  return std::string(FieldText(Slice(std::span<const std::uint8_t>(reply), wire::kRecordRequestNameAt,
                                     wire::kRequestNameSize)));
}

wire::MessageWriter Query(std::string_view name, std::uint32_t type = wire::kQueryRequest) {
  wire::MessageWriter message(type);
  message.Name(name);
  return message;
}
wire::MessageWriter Enumerate(std::uint32_t index) {
  wire::MessageWriter message(wire::kEnumerateRequests);
  message.Flags(index);
  return message;
}
wire::MessageWriter Cancel(std::string_view name) { return Query(name, wire::kCancelRequest); }

// Expects a 159-byte error reply and a connection that the service ended after it.
void ExpectRefusedAndClosed(AgentConnection& connection, const Reply& reply, std::uint32_t system_error) {
  ASSERT_EQ(reply.size(), wire::kStatusRecordSize) << "no reply: error " << connection.error();
  EXPECT_EQ(ReadU32(reply, wire::kRecordSizeAt), wire::kStatusRecordSize);
  EXPECT_EQ(LengthOf(reply), wire::kStatusRecordSize);
  EXPECT_EQ(ResultOf(reply), kBadMessage);
  EXPECT_EQ(ErrorOf(reply), system_error);
  EXPECT_TRUE(connection.Send(Query("after").span()).empty()) << "the connection stayed open";
}

// A client that writes without waiting for the service to read: a message longer than the
// pipe's buffer is only taken as the service reads it, and a refused one never is.
class RawPipe {
 public:
  explicit RawPipe(const wchar_t* name) {
    // One instance waits for a client at a time: wait while others take theirs.
    const ULONGLONG deadline = ::GetTickCount64() + test::kReplyTimeoutMs;
    do {
      pipe_.reset(::CreateFileW(name, ctl::kAgentPipeAccess, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                nullptr));
    } while (!pipe_ && ::GetLastError() == ERROR_PIPE_BUSY && ::GetTickCount64() < deadline &&
             (::WaitNamedPipeW(name, 1000) || ::GetLastError() == ERROR_SEM_TIMEOUT));
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pipe_ && !::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) pipe_.reset();
  }
  RawPipe(const RawPipe&) = delete;
  RawPipe& operator=(const RawPipe&) = delete;
  ~RawPipe() {
    // The buffers and OVERLAPPEDs must outlive every operation: cancel and wait for them.
    if (pipe_) ::CancelIo(pipe_.get());
    for (auto& write : writes_) (void)WaitFor(*write, INFINITE);
  }

  [[nodiscard]] bool valid() const { return pipe_.valid(); }

  // Starts writing the message as one pipe message; does not wait for it to be taken.
  void StartWrite(wire::Bytes message) {
    auto write = std::make_unique<Operation>(message);
    if (!::WriteFile(pipe_.get(), write->bytes.data(), static_cast<DWORD>(write->bytes.size()), nullptr,
                     &write->overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
      write->done = true;
    }
    writes_.push_back(std::move(write));
  }

  // Reads one reply message within timeout_ms; empty when none came.
  Reply Read(DWORD timeout_ms) {
    Operation read(Reply(4096));
    if (!::ReadFile(pipe_.get(), read.bytes.data(), static_cast<DWORD>(read.bytes.size()), nullptr,
                    &read.overlapped) &&
        ::GetLastError() != ERROR_IO_PENDING) {
      return {};
    }
    if (!WaitFor(read, timeout_ms)) {
      ::CancelIoEx(pipe_.get(), &read.overlapped);
      (void)WaitFor(read, INFINITE);
      return {};
    }
    read.bytes.resize(read.transferred);
    return read.succeeded ? read.bytes : Reply();
  }

  // Waits at most timeout_ms for every write to end; true when all of them were taken in full.
  bool WritesTaken(DWORD timeout_ms) {
    bool taken = true;
    for (auto& write : writes_) {
      taken = WaitFor(*write, timeout_ms) && write->succeeded && write->transferred == write->bytes.size() && taken;
    }
    return taken;
  }

 private:
  struct Operation {
    explicit Operation(wire::Bytes data)
        : bytes(data.begin(), data.end()), event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
      overlapped.hEvent = event.get();
    }
    Reply bytes;
    UniqueHandle event;
    OVERLAPPED overlapped = {};
    bool done = false;
    bool succeeded = false;
    DWORD transferred = 0;
  };

  bool WaitFor(Operation& operation, DWORD timeout_ms) {
    if (operation.done) return true;
    if (::WaitForSingleObject(operation.event.get(), timeout_ms) != WAIT_OBJECT_0) return false;
    operation.succeeded = ::GetOverlappedResult(pipe_.get(), &operation.overlapped, &operation.transferred, TRUE);
    operation.done = true;
    return true;
  }

  UniqueFile pipe_;
  std::vector<std::unique_ptr<Operation>> writes_;
};

// A query padded with one more item to exactly size bytes.
wire::MessageWriter PaddedQuery(std::string_view name, std::size_t size) {
  wire::MessageWriter message = Query(name);
  message.RawItem(wire::kPromptTextItem, std::string(size - wire::kHeaderSize - wire::kItemHeaderSize, 'x'));
  return message;
}

std::size_t CountThreads(DWORD process_id) {
  UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  std::size_t count = 0;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == process_id) ++count;
  }
  return count;
}

// Polls the service's thread count until accept() holds or timeout_ms have passed.
template <typename Accept>
std::size_t WaitForThreadCount(DWORD process_id, Accept accept, DWORD timeout_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  std::size_t count = CountThreads(process_id);
  while (!accept(count) && ::GetTickCount64() < deadline) {
    ::Sleep(50);
    count = CountThreads(process_id);
  }
  return count;
}

TEST_F(Pipes, RefusesMalformedMessagesAndEndsTheConnection) {
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

  for (const Reply* message : {&too_short, &item_past_end, &items_end_past_message, &item_past_items_end}) {
    SCOPED_TRACE(message->size());
    AgentConnection connection(kRequestPipe);
    ASSERT_TRUE(connection.connected()) << connection.error();
    ExpectRefusedAndClosed(connection, connection.Send(*message), wire::kFramingErrorCode);
  }
}

TEST_F(Pipes, RefusesAMessageOverTheSizeCapUnreadAndServesOneAtTheCap) {
  {
    RawPipe client(kRequestPipe);
    ASSERT_TRUE(client.valid());
    client.StartWrite(PaddedQuery("capped", wire::kMaxMessageSize + 1).span());
    const Reply reply = client.Read(test::kReplyTimeoutMs);
    ASSERT_EQ(reply.size(), wire::kStatusRecordSize);
    EXPECT_EQ(ResultOf(reply), kBadMessage);
    EXPECT_EQ(ErrorOf(reply), wire::kFramingErrorCode);
    // Refused from its size alone: the service ends the connection without taking it.
    EXPECT_FALSE(client.WritesTaken(test::kReplyTimeoutMs));
  }
  RawPipe client(kRequestPipe);
  ASSERT_TRUE(client.valid());
  client.StartWrite(PaddedQuery("capped", wire::kMaxMessageSize).span());
  const Reply reply = client.Read(test::kReplyTimeoutMs);
  EXPECT_TRUE(client.WritesTaken(test::kReplyTimeoutMs));
  ASSERT_EQ(reply.size(), wire::kStatusRecordSize);
  EXPECT_EQ(ResultOf(reply), kNoSuchRequest);
  EXPECT_EQ(NameOf(reply), "capped");
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
  EXPECT_EQ(test::RequestKeyNames(), std::vector<std::wstring>{L"pkg"});
  EXPECT_EQ(StatusOf(SendOnce(kInfoPipe, Query("pkg").span())), wire::kQueued);
  EXPECT_FALSE(test::StoredUserAgent().has_value());
}

TEST_F(Pipes, AnswersMessagesWrittenBackToBackInOrder) {
  RawPipe client(kRequestPipe);
  ASSERT_TRUE(client.valid());
  client.StartWrite(SubmitMessage("first").span());
  client.StartWrite(Query("first").span());
  const Reply submitted = client.Read(test::kReplyTimeoutMs);
  const Reply queried = client.Read(test::kReplyTimeoutMs);
  EXPECT_TRUE(client.WritesTaken(test::kReplyTimeoutMs));
  ASSERT_EQ(submitted.size(), wire::kStatusRecordSize);
  EXPECT_EQ(ResultOf(submitted), kDone);
  EXPECT_EQ(StatusOf(submitted), wire::kQueued);
  ASSERT_GT(queried.size(), wire::kStatusRecordSize);  // the query carries its time stamp
  EXPECT_EQ(ResultOf(queried), kDone);
  EXPECT_EQ(NameOf(queried), "first");
}

TEST_F(Pipes, SilentClientsLeaveNoThreadBehind) {
  constexpr std::size_t kClients = 20;
  const DWORD process_id = test::ServiceControl().ProcessId();
  ASSERT_NE(process_id, 0u);
  const std::size_t before = CountThreads(process_id);
  ASSERT_GT(before, 0u);
  for (std::size_t i = 0; i < kClients; ++i) {
    AgentConnection leaving(i % 2 == 0 ? kRequestPipe : kInfoPipe);
    ASSERT_TRUE(leaving.connected()) << leaving.error();
  }
  {
    std::vector<std::unique_ptr<AgentConnection>> clients;
    for (std::size_t i = 0; i < kClients; ++i) {
      clients.push_back(std::make_unique<AgentConnection>(i % 2 == 0 ? kRequestPipe : kInfoPipe));
      ASSERT_TRUE(clients.back()->connected()) << clients.back()->error();
    }
    const std::size_t while_connected =
        WaitForThreadCount(process_id, [&](std::size_t count) { return count >= before + kClients; }, 5000);
    EXPECT_GE(while_connected, before + kClients);
  }
  // Each connection thread notices at its next peek that its client left, and ends.
  const std::size_t after = WaitForThreadCount(process_id, [&](std::size_t count) { return count <= before; }, 5000);
  EXPECT_LE(after, before);
}

// A message and what its reply must say: result, and when given, status and request name.
struct Expected {
  Expected(wire::MessageWriter sent, std::uint32_t result_code = kDone, std::optional<std::uint32_t> update_status = {},
           std::string request_name = {})
      : message(std::move(sent)), result(result_code), status(update_status), name(std::move(request_name)) {}
  wire::MessageWriter message;
  std::uint32_t result;
  std::optional<std::uint32_t> status;
  std::string name;
};

// Writes the whole batch on one connection without waiting for replies, then checks the
// replies in order. Returns the first mismatch, or an empty text.
std::string SendBatch(const wchar_t* pipe, const std::vector<Expected>& batch) {
  RawPipe client(pipe);
  if (!client.valid()) return "cannot connect";
  for (const Expected& expected : batch) client.StartWrite(expected.message.span());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const Expected& expected = batch[i];
    const Reply reply = client.Read(test::kReplyTimeoutMs);
    const std::uint32_t type = wire::RequestMessage(expected.message.span()).type();
    // A query or enumeration that succeeds carries its time stamp item.
    const bool with_item = ResultOf(reply) == kDone && (type == wire::kQueryRequest || type == wire::kEnumerateRequests);
    const bool ok = reply.size() >= wire::kStatusRecordSize && LengthOf(reply) == reply.size() &&
                    ResultOf(reply) == expected.result && (!expected.status || StatusOf(reply) == *expected.status) &&
                    (expected.name.empty() || NameOf(reply) == expected.name) &&
                    (reply.size() > wire::kStatusRecordSize) == with_item;
    if (!ok) {
      return "reply " + std::to_string(i) + " to type " + std::to_string(type) + ": " + std::to_string(reply.size()) +
             " bytes, result " + std::to_string(ResultOf(reply)) + ", status " + std::to_string(StatusOf(reply)) +
             ", name " + NameOf(reply);
    }
  }
  return "";
}

// Each client writes its messages in batches, without waiting for each reply: a client that
// waits for each reply is paced by the service's 100 ms idle poll. First it submits, cancels
// and queries requests of its own on the request pipe; once every client has, it queries,
// enumerates and asks for postponed requests on the info pipe.
TEST_F(Pipes, ServesSixteenClientsAtOnce) {
  constexpr int kClients = 16;
  // Few messages on the request pipe: its caller check verifies the signature of this test
  // program for each of them, which takes tens of milliseconds under Wine.
  constexpr int kRequestsPerClient = 2;
  constexpr int kRounds = 6;
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
    requests.emplace_back(Cancel(name(0)), kDone, wire::kCancelled, name(0));
    requests.emplace_back(Query(name(1)), kDone, wire::kQueued, name(1));
    failures[id] = SendBatch(kRequestPipe, requests);
    messages += requests.size();
    submitted.arrive_and_wait();

    std::vector<Expected> queries;
    for (int n = 0; n < kRequestsPerClient; ++n) {
      queries.emplace_back(Query(name(n)), kDone, n == 0 ? wire::kCancelled : wire::kQueued, name(n));
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
  for (int id = 0; id < kClients; ++id) EXPECT_EQ(failures[id], "") << "client " << id;
  std::printf("%zu messages from %d clients in %llu ms\n", messages.load(), kClients, ::GetTickCount64() - started);
  EXPECT_EQ(test::RequestKeyNames().size(), kAllRequests);
}

}  // namespace
}  // namespace qfu
