// Round trips on the running agent's info pipe against a bare echo server with the same pipe
// settings, in one run: the agent's cost per message beyond the pipe's own.
//
//   pipe_roundtrip.exe [round trips per server, default 2000] [request name, default bench-none]
//
// On one connection to each, the client sends type-3 queries of the request name one after
// another, each once the previous reply has come, in rounds that take turns between the two
// servers so that a change in the machine's load meets both. The echo server answers every
// message with a 159-byte record at once. Prints the median and the 99th percentile of each
// and the agent's median against the echo's.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/bytes.h"
#include "common/handle.h"
#include "common/utf.h"
#include "qfupdatectl/pipe_client.h"
#include "wire/message_writer.h"
#include "wire/pipes.h"

namespace {

using namespace qfu;

constexpr std::size_t kDefaultRoundTrips = 2000;
constexpr std::size_t kWarmUpRoundTrips = 50;
constexpr std::size_t kRounds = 10;
constexpr DWORD kReplyTimeoutMs = 10000;
constexpr DWORD kServiceReadyTimeoutMs = 10000;
constexpr DWORD kRetryMs = 50;
// The agent's first read of a message, and the echo server's only one.
constexpr DWORD kReadBufferSize = 4096;
// As the agent creates its pipe instances: message mode both ways, blocking, local clients.
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

// Serves one connection on a pipe of its own: every message is answered with a 159-byte
// status record, until the client leaves.
class EchoServer {
 public:
  EchoServer()
      : name_(L"\\\\.\\pipe\\qfupdate_bench_echo_" + std::to_wstring(::GetCurrentProcessId())),
        pipe_(::CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX, kPipeMode, PIPE_UNLIMITED_INSTANCES,
                                 wire::kPipeOutBufferSize, wire::kPipeInBufferSize, 0, nullptr)) {}
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  ~EchoServer() {
    if (thread_.joinable()) thread_.join();  // ends once the client has closed its end
  }

  [[nodiscard]] bool valid() const { return pipe_.valid(); }
  [[nodiscard]] const std::wstring& name() const { return name_; }
  // Starts serving, once the client has connected (so that the thread never waits for one).
  void Start() { thread_ = std::thread([this] { Serve(); }); }

 private:
  void Serve() {
    if (!::ConnectNamedPipe(pipe_.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return;
    std::uint8_t reply[wire::kStatusRecordSize] = {};
    WriteU32(reply, wire::kRecordSizeAt, wire::kStatusRecordSize);
    WriteU32(reply, wire::kLengthAt, wire::kStatusRecordSize);
    std::uint8_t message[kReadBufferSize];
    for (;;) {
      DWORD read = 0;
      DWORD written = 0;
      if (!::ReadFile(pipe_.get(), message, kReadBufferSize, &read, nullptr)) break;
      if (!::WriteFile(pipe_.get(), reply, sizeof(reply), &written, nullptr)) break;
    }
    ::DisconnectNamedPipe(pipe_.get());
  }

  std::wstring name_;
  UniqueFile pipe_;
  std::thread thread_;
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

double Microseconds(LONGLONG ticks, LONGLONG frequency) {
  return static_cast<double>(ticks) * 1e6 / static_cast<double>(frequency);
}

struct Figures {
  double median = 0;
  double p99 = 0;
};

Figures FiguresOf(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const std::size_t p99_index =
      static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(samples.size()))) - 1;
  return {samples[samples.size() / 2], samples[std::min(p99_index, samples.size() - 1)]};
}

// Sends count queries on the connection, adding each round trip's time to samples (when
// given). Returns 0 or the first failure's Win32 error; a reply that is not a status record
// counts as ERROR_INVALID_DATA.
DWORD RoundTrips(ctl::PipeClient& client, wire::Bytes query, std::size_t count, LONGLONG frequency,
                 std::vector<double>* samples) {
  std::vector<std::uint8_t> reply;
  for (std::size_t i = 0; i < count; ++i) {
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    ::QueryPerformanceCounter(&before);
    const DWORD error = client.Exchange(query, reply, kReplyTimeoutMs);
    ::QueryPerformanceCounter(&after);
    if (error != ERROR_SUCCESS) return error;
    if (reply.size() < wire::kStatusRecordSize) return ERROR_INVALID_DATA;
    if (samples != nullptr) samples->push_back(Microseconds(after.QuadPart - before.QuadPart, frequency));
  }
  return ERROR_SUCCESS;
}

void Print(const char* label, const Figures& figures) {
  std::printf("%-16s median %8.1f us   p99 %8.1f us\n", label, figures.median, figures.p99);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::size_t round_trips = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : kDefaultRoundTrips;
  const std::string request_name = argc > 2 ? WideToUtf8(argv[2]) : "bench-none";
  if (round_trips < kRounds) {
    std::fprintf(stderr, "give at least %zu round trips\n", kRounds);
    return 2;
  }
  wire::MessageWriter query(wire::kQueryRequest);
  query.Name(request_name);

  EchoServer echo;
  ctl::PipeClient echo_client;
  ctl::PipeClient agent_client;
  if (!echo.valid() || echo_client.Connect(echo.name()) != ERROR_SUCCESS) {
    std::fprintf(stderr, "the echo server could not be set up (error %lu)\n", ::GetLastError());
    return 1;
  }
  echo.Start();
  if (const DWORD error = ConnectWhenReady(agent_client, wire::kInfoPipeName); error != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot connect to the agent's info pipe (error %lu): is the service running?\n", error);
    return 1;
  }

  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  std::vector<double> echo_samples;
  std::vector<double> agent_samples;
  echo_samples.reserve(round_trips);
  agent_samples.reserve(round_trips);
  DWORD error = RoundTrips(echo_client, query.span(), kWarmUpRoundTrips, frequency.QuadPart, nullptr);
  if (error == ERROR_SUCCESS) {
    error = RoundTrips(agent_client, query.span(), kWarmUpRoundTrips, frequency.QuadPart, nullptr);
  }
  for (std::size_t round = 0; round < kRounds && error == ERROR_SUCCESS; ++round) {
    const std::size_t count = round_trips / kRounds + (round < round_trips % kRounds ? 1 : 0);
    // Take turns at going first.
    ctl::PipeClient* first = round % 2 == 0 ? &echo_client : &agent_client;
    ctl::PipeClient* second = round % 2 == 0 ? &agent_client : &echo_client;
    std::vector<double>* first_samples = round % 2 == 0 ? &echo_samples : &agent_samples;
    std::vector<double>* second_samples = round % 2 == 0 ? &agent_samples : &echo_samples;
    error = RoundTrips(*first, query.span(), count, frequency.QuadPart, first_samples);
    if (error == ERROR_SUCCESS) error = RoundTrips(*second, query.span(), count, frequency.QuadPart, second_samples);
  }
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "a round trip failed with error %lu\n", error);
    return 1;
  }

  const Figures echo_figures = FiguresOf(echo_samples);
  const Figures agent_figures = FiguresOf(agent_samples);
  std::printf("%zu round trips each on one connection, type-3 query of \"%s\"\n", round_trips, request_name.c_str());
  Print("echo server", echo_figures);
  Print("agent info pipe", agent_figures);
  std::printf("agent median against echo median: ratio %.2f\n", agent_figures.median / echo_figures.median);
  return 0;
}
