// Round trips on the running agent's info pipe against a bare echo server with the same pipe
// settings, in one run: the agent's cost per message beyond the pipe's own.
//
//   pipe_roundtrip.exe [messages per figure and server, default 2000] [request name, default bench-none]
//
// Three figures, each taken from both servers in rounds that take turns between them, so
// that a change in the machine's load meets both:
// - one message per connection, one client: connect, write a type-3 query (195 bytes), read
//   the reply, close; the time of the whole;
// - the same with 16 clients at once: the time of each, and the messages per second of all;
// - consecutive messages on one connection, each sent once the previous reply has come.
// The echo server has the agent's pipe settings and its shape (a listener that creates the
// next instance before it hands a connected one to a thread of its own) and answers every
// message with a 159-byte status record at once.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_figures.h"
#include "common/bytes.h"
#include "common/handle.h"
#include "common/utf.h"
#include "qfupdatectl/pipe_client.h"
#include "wire/message_writer.h"
#include "wire/pipes.h"

namespace {

using namespace qfu;
using bench::Figures;
using bench::FiguresOf;
using bench::Ratio;

constexpr std::size_t kDefaultMessages = 2000;
constexpr std::size_t kWarmUpMessages = 50;
constexpr std::size_t kRounds = 10;
constexpr std::size_t kConcurrentClients = 16;
constexpr DWORD kReplyTimeoutMs = 10000;
constexpr DWORD kServiceReadyTimeoutMs = 10000;
constexpr DWORD kRetryMs = 50;
// The agent's first read of a message, and the echo server's only one.
constexpr DWORD kReadBufferSize = 4096;
// As the agent creates its pipe instances: message mode both ways, blocking, local clients.
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

UniqueFile CreateEchoInstance(const std::wstring& name) {
  return UniqueFile(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, kPipeMode, PIPE_UNLIMITED_INSTANCES,
                                       wire::kPipeOutBufferSize, wire::kPipeInBufferSize, 0, nullptr));
}

// Answers every message of one connection with a 159-byte status record until the client leaves.
DWORD WINAPI EchoConnection(LPVOID argument) {
  const UniqueFile pipe(static_cast<HANDLE>(argument));
  std::uint8_t reply[wire::kStatusRecordSize] = {};
  (void)WriteU32(reply, wire::kRecordSizeAt, wire::kStatusRecordSize);
  (void)WriteU32(reply, wire::kLengthAt, wire::kStatusRecordSize);
  std::uint8_t message[kReadBufferSize];
  for (;;) {
    DWORD read = 0;
    DWORD written = 0;
    if (!::ReadFile(pipe.get(), message, kReadBufferSize, &read, nullptr)) break;
    if (!::WriteFile(pipe.get(), reply, sizeof(reply), &written, nullptr)) break;
  }
  ::DisconnectNamedPipe(pipe.get());
  return 0;
}

// The echo server: a listener thread shaped like the agent's, until the object goes.
class EchoServer {
 public:
  EchoServer() : name_(L"\\\\.\\pipe\\qfupdate_bench_echo_" + std::to_wstring(::GetCurrentProcessId())) {
    UniqueFile first = CreateEchoInstance(name_);
    if (!first) return;
    valid_ = true;
    listener_ = std::thread([this, instance = std::move(first)]() mutable { Listen(std::move(instance)); });
  }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  ~EchoServer() {
    if (!listener_.joinable()) return;
    stopping_ = true;
    ctl::PipeClient wake;  // takes the listening instance, so that its wait ends
    (void)wake.Connect(name_);
    listener_.join();
  }

  [[nodiscard]] bool valid() const { return valid_; }
  [[nodiscard]] const std::wstring& name() const { return name_; }

 private:
  void Listen(UniqueFile instance) {
    while (instance && !stopping_) {
      const bool connected =
          ::ConnectNamedPipe(instance.get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
      if (stopping_) break;
      UniqueFile next = CreateEchoInstance(name_);
      if (connected) {
        const HANDLE pipe = instance.release();
        UniqueHandle thread(::CreateThread(nullptr, 0, EchoConnection, pipe, 0, nullptr));
        if (!thread) ::CloseHandle(pipe);
      }
      instance = std::move(next);
    }
  }

  std::wstring name_;
  bool valid_ = false;
  std::atomic<bool> stopping_{false};
  std::thread listener_;
};

// Connects, retrying while the pipe does not exist yet (a service that is still starting).
DWORD ConnectWhenReady(ctl::PipeClient& client, const std::wstring& name) {
  const ULONGLONG deadline = ::GetTickCount64() + kServiceReadyTimeoutMs;
  for (;;) {
    const DWORD error = client.Connect(name);
    if (error != ERROR_FILE_NOT_FOUND || ::GetTickCount64() > deadline) return error;
    ::Sleep(kRetryMs);
  }
}

// One exchange; a reply that is not a status record counts as ERROR_INVALID_DATA.
DWORD Exchange(ctl::PipeClient& client, wire::Bytes query, std::vector<std::uint8_t>& reply) {
  const DWORD error = client.Exchange(query, reply, kReplyTimeoutMs);
  if (error != ERROR_SUCCESS) return error;
  return reply.size() < wire::kStatusRecordSize ? ERROR_INVALID_DATA : ERROR_SUCCESS;
}

// Sends count queries on the connection, adding each round trip's time to samples (when given).
// Returns 0 or the first failure's Win32 error.
DWORD Consecutive(ctl::PipeClient& client, wire::Bytes query, std::size_t count,
                  std::vector<double>* samples) {
  std::vector<std::uint8_t> reply;
  for (std::size_t i = 0; i < count; ++i) {
    const bench::Stopwatch watch;
    if (const DWORD error = Exchange(client, query, reply); error != ERROR_SUCCESS) return error;
    if (samples != nullptr) samples->push_back(watch.Microseconds());
  }
  return ERROR_SUCCESS;
}

// Sends count queries, each on a connection of its own (connect, write, read, close).
DWORD OnePerConnection(const std::wstring& pipe_name, wire::Bytes query, std::size_t count,
                       std::vector<double>* samples) {
  std::vector<std::uint8_t> reply;
  for (std::size_t i = 0; i < count; ++i) {
    const bench::Stopwatch watch;
    {
      ctl::PipeClient client;
      if (const DWORD error = client.Connect(pipe_name); error != ERROR_SUCCESS) return error;
      if (const DWORD error = Exchange(client, query, reply); error != ERROR_SUCCESS) return error;
    }  // closed here, inside the time
    if (samples != nullptr) samples->push_back(watch.Microseconds());
  }
  return ERROR_SUCCESS;
}

// kConcurrentClients threads each sending count / kConcurrentClients queries one per
// connection; adds every round trip's time to samples and the wall time to seconds.
DWORD Concurrent(const std::wstring& pipe_name, wire::Bytes query, std::size_t count,
                 std::vector<double>& samples, double& seconds) {
  std::vector<std::vector<double>> per_client(kConcurrentClients);
  std::vector<DWORD> errors(kConcurrentClients, ERROR_SUCCESS);
  std::vector<std::thread> clients;
  const bench::Stopwatch watch;
  for (std::size_t c = 0; c < kConcurrentClients; ++c) {
    const std::size_t share = count / kConcurrentClients + (c < count % kConcurrentClients ? 1 : 0);
    clients.emplace_back(
        [&, c, share] { errors[c] = OnePerConnection(pipe_name, query, share, &per_client[c]); });
  }
  for (std::thread& client : clients) client.join();
  seconds += watch.Seconds();
  for (std::size_t c = 0; c < kConcurrentClients; ++c) {
    if (errors[c] != ERROR_SUCCESS) return errors[c];
    samples.insert(samples.end(), per_client[c].begin(), per_client[c].end());
  }
  return ERROR_SUCCESS;
}

struct Side {
  const char* label;
  std::wstring pipe_name;
  std::unique_ptr<ctl::PipeClient> connection;  // the one connection of the consecutive figure
  std::vector<double> single;
  std::vector<double> concurrent;
  double concurrent_seconds = 0;
  std::vector<double> consecutive;
};

// One round's share of every figure for one server.
DWORD MeasureRound(Side& side, wire::Bytes query, std::size_t count) {
  DWORD error = OnePerConnection(side.pipe_name, query, count, &side.single);
  if (error == ERROR_SUCCESS)
    error = Concurrent(side.pipe_name, query, count, side.concurrent, side.concurrent_seconds);
  if (error == ERROR_SUCCESS) error = Consecutive(*side.connection, query, count, &side.consecutive);
  return error;
}

void PrintPair(const char* what, const std::vector<double>& echo_samples,
               const std::vector<double>& agent_samples) {
  const Figures echo = FiguresOf(echo_samples);
  const Figures agent = FiguresOf(agent_samples);
  bench::PrintFigure(Ratio(agent.median, echo.median), "pipe %s median: agent %.1f us, echo %.1f us", what,
                     agent.median, echo.median);
  bench::PrintFigure(Ratio(agent.p99, echo.p99), "pipe %s p99: agent %.1f us, echo %.1f us", what, agent.p99,
                     echo.p99);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::size_t messages = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : kDefaultMessages;
  const std::string request_name = argc > 2 ? WideToUtf8(argv[2]) : "bench-none";
  if (messages < kRounds * kConcurrentClients) {
    std::fprintf(stderr, "give at least %zu messages\n", kRounds * kConcurrentClients);
    return 2;
  }
  wire::MessageWriter writer(wire::kQueryRequest);
  writer.Name(request_name);
  const wire::Bytes query = writer.span();

  EchoServer echo;
  if (!echo.valid()) {
    std::fprintf(stderr, "the echo server could not be set up (error %lu)\n", ::GetLastError());
    return 1;
  }
  Side sides[2] = {{"echo", echo.name(), std::make_unique<ctl::PipeClient>(), {}, {}, 0, {}},
                   {"agent", wire::kInfoPipeName, std::make_unique<ctl::PipeClient>(), {}, {}, 0, {}}};
  if (const DWORD error = ConnectWhenReady(*sides[1].connection, sides[1].pipe_name);
      error != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot connect to the agent's info pipe (error %lu): is the service running?\n",
                 error);
    return 1;
  }
  DWORD error = sides[0].connection->Connect(sides[0].pipe_name);
  for (Side& side : sides) {
    if (error != ERROR_SUCCESS) break;
    error = Consecutive(*side.connection, query, kWarmUpMessages, nullptr);
    if (error == ERROR_SUCCESS) error = OnePerConnection(side.pipe_name, query, kWarmUpMessages, nullptr);
  }
  for (std::size_t round = 0; round < kRounds && error == ERROR_SUCCESS; ++round) {
    const std::size_t count = messages / kRounds + (round < messages % kRounds ? 1 : 0);
    // Take turns at going first.
    Side& first = sides[round % 2];
    Side& second = sides[1 - round % 2];
    error = MeasureRound(first, query, count);
    if (error == ERROR_SUCCESS) error = MeasureRound(second, query, count);
  }
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "a round trip failed with error %lu\n", error);
    return 1;
  }

  const Side& echo_side = sides[0];
  const Side& agent_side = sides[1];
  std::printf(
      "pipe: %zu type-3 queries of \"%s\" per figure and server; ratios are the agent's against the echo's\n",
      messages, request_name.c_str());
  PrintPair("one per connection, 1 client,", echo_side.single, agent_side.single);
  PrintPair("one per connection, 16 clients,", echo_side.concurrent, agent_side.concurrent);
  const double echo_rate = static_cast<double>(echo_side.concurrent.size()) / echo_side.concurrent_seconds;
  const double agent_rate = static_cast<double>(agent_side.concurrent.size()) / agent_side.concurrent_seconds;
  bench::PrintFigure(
      Ratio(echo_rate, agent_rate),
      "pipe one per connection, 16 clients, throughput: agent %.0f/s, echo %.0f/s (time per message)",
      agent_rate, echo_rate);
  PrintPair("consecutive on one connection,", echo_side.consecutive, agent_side.consecutive);
  return 0;
}
