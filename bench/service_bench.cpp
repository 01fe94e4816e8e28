// Figures of the installed service QFUpdate as the service manager starts it:
//
//   service_bench.exe startup <request keys> <starts>
//       time from StartService to RUNNING with that many stored request keys (half final,
//       half in progress), against a bare enumerate-and-read of the same keys, taking turns;
//   service_bench.exe memory <queued requests> <messages>
//       private bytes with no request, with that many queued requests, and before and after
//       that many queries on the info pipe (each on a connection of its own);
//   service_bench.exe idle-clients <clients>
//       private bytes and threads of the service before and after that many clients connect
//       to the info pipe and stay idle, per connection;
//
// The idle figure is bench/run.sh's: Wine 8 answers GetProcessTimes for another process with
// zeros, so it reads the service's processor time from its Unix process instead.
// The service must be installed (bench/run.sh does it). Each mode starts from the service
// stopped, writes its request keys itself ("bench" and a number, never a name of a real
// request), and deletes them and stops the service when it is done. In-progress requests wait
// for a start time in 2099, so that none of them starts a download during the measure.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "bench_figures.h"
#include "common/handle.h"
#include "common/utf.h"
#include "qfupdatectl/pipe_client.h"
#include "store/request_key.h"
#include "store/store_operations.h"
#include "support/service_control.h"
#include "wire/message_writer.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace {

using namespace qfu;
using bench::Stopwatch;

constexpr DWORD kStateTimeoutMs = 60000;
constexpr DWORD kPipeTimeoutMs = 60000;
constexpr DWORD kReplyTimeoutMs = 10000;
// Time for the worker to arm its timers and the heap to settle before a reading.
constexpr DWORD kSettleMs = 2000;
constexpr std::uint16_t kFarStartYear = 2099;
constexpr std::size_t kMessageClients = 4;
constexpr std::size_t kWarmUpMessages = 1000;
constexpr double kPerRequestAllowance = 2048;               // bytes beyond each message copy
constexpr double kPerIdleConnectionAllowance = 256 * 1024;  // bytes the service may spend on one
// The baseline's buffer for a value: as large as a stored message commonly is, grown when one
// is longer.
constexpr DWORD kValueBufferSize = 1024;
constexpr const wchar_t* kKeyPrefix = L"bench";
constexpr std::uint64_t kSomeRequestTime = 133000000000000000ull;  // a UTC FILETIME in 2022
constexpr wchar_t kTimeStampText[] = L"2024-05-06 07:08";
constexpr DWORD kTimeStampBytes = 128;  // 64 UTF-16 units, NUL-padded

std::wstring KeyName(std::size_t index) { return kKeyPrefix + std::to_wstring(index); }

// The submit message the in-progress request keyed name was accepted with: a start time far
// ahead, a package URL no server answers.
wire::MessageWriter StoredMessage(const std::wstring& name) {
  wire::MessageWriter message(wire::kSubmitRequest);
  message.Name(WideToUtf8(name)).UiName("Bench Client").Version("1.2.3.4");
  message.AddFlags(wire::flags::kStartTime)
      .U16(wire::kStartYearAt, kFarStartYear)
      .U16(wire::kStartMonthAt, 1);
  message.U16(wire::kStartDayAt, 1);
  message.TextItem(wire::kPackageUrlItem, "http://127.0.0.1:9/bench/package.msi");
  return message;
}

// Opens the service key (where request keys live) with access; null on failure.
UniqueHkey OpenServiceKey(REGSAM access) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, store::kServiceKeyPath, 0, access | KEY_WOW64_64KEY, &key) !=
      ERROR_SUCCESS) {
    return UniqueHkey();
  }
  return UniqueHkey(key);
}

// Writes request keys first .. first + count - 1: in-progress ones (status Downloading, with
// their message and request time) at even indexes when in_progress_share is 2, all of them
// when it is 1; the others final (Completed, identity values only).
DWORD WriteRequestKeys(std::size_t first, std::size_t count, std::size_t in_progress_share) {
  const UniqueHkey service = OpenServiceKey(KEY_CREATE_SUB_KEY);
  if (!service) return ERROR_ACCESS_DENIED;
  wchar_t time_stamp[kTimeStampBytes / sizeof(wchar_t)] = {};
  std::wcsncpy(time_stamp, kTimeStampText, std::size(time_stamp) - 1);
  for (std::size_t i = first; i < first + count; ++i) {
    const std::wstring name = KeyName(i);
    HKEY created = nullptr;
    if (const LSTATUS error = ::RegCreateKeyExW(service.get(), name.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                                nullptr, &created, nullptr);
        error != ERROR_SUCCESS) {
      return static_cast<DWORD>(error);
    }
    const UniqueHkey key(created);
    const bool in_progress = i % in_progress_share == 0;
    const wire::MessageWriter message = StoredMessage(name);
    const wire::RequestMessage request(message.span());
    const DWORD status = wire::WireValue(in_progress ? wire::kDownloading : wire::kCompleted);
    const DWORD no_error = 0;
    const auto set = [&](const wchar_t* value, DWORD type, const void* data, std::size_t size) {
      return ::RegSetValueExW(key.get(), value, 0, type, static_cast<const BYTE*>(data),
                              static_cast<DWORD>(size));
    };
    LSTATUS error = set(store::value::kUpdateStatus, REG_DWORD, &status, sizeof(status));
    if (error == ERROR_SUCCESS)
      error = set(store::value::kSystemErrorCode, REG_DWORD, &no_error, sizeof(no_error));
    if (error == ERROR_SUCCESS) {
      error = set(store::value::kUiName, REG_BINARY, request.ui_name_field().data(), wire::kUiNameSize);
    }
    if (error == ERROR_SUCCESS) {
      error = set(store::value::kSoftwareVersion, REG_BINARY, request.software_version_field().data(),
                  wire::kSoftwareVersionSize);
    }
    if (error == ERROR_SUCCESS) error = set(store::value::kTimeStamp, REG_SZ, time_stamp, kTimeStampBytes);
    if (error == ERROR_SUCCESS && in_progress) {
      error = set(store::value::kInitialRequest, REG_BINARY, message.span().data(), message.span().size());
      if (error == ERROR_SUCCESS) {
        error = set(store::value::kRequestTime, REG_QWORD, &kSomeRequestTime, sizeof(kSomeRequestTime));
      }
    }
    if (error != ERROR_SUCCESS) return static_cast<DWORD>(error);
  }
  return ERROR_SUCCESS;
}

// Deletes every subkey of the service key whose name starts with the benchmark's prefix.
void DeleteRequestKeys() {
  const UniqueHkey service = OpenServiceKey(KEY_READ | DELETE | KEY_SET_VALUE);
  if (!service) return;
  std::vector<std::wstring> names;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(std::size(name));
    if (::RegEnumKeyExW(service.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (std::wcsncmp(name, kKeyPrefix, std::wcslen(kKeyPrefix)) == 0) names.emplace_back(name);
  }
  for (const std::wstring& key : names) (void)::RegDeleteTreeW(service.get(), key.c_str());
}

// The bare baseline of start-up: every subkey by index, opened, and the values that start-up
// reads from it. Returns the number of keys read.
std::size_t EnumerateAndRead() {
  const UniqueHkey service = OpenServiceKey(KEY_READ);
  if (!service) return 0;
  static const wchar_t* const kValues[] = {store::value::kUpdateStatus, store::value::kSystemErrorCode,
                                           store::value::kInitialRequest, store::value::kRequestTime};
  std::vector<BYTE> data(kValueBufferSize);
  std::size_t keys = 0;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(std::size(name));
    if (::RegEnumKeyExW(service.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(service.get(), name, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) continue;
    const UniqueHkey key(opened);
    for (const wchar_t* value : kValues) {
      DWORD size = static_cast<DWORD>(data.size());
      if (::RegQueryValueExW(key.get(), value, nullptr, nullptr, data.data(), &size) == ERROR_MORE_DATA) {
        data.resize(size);  // a longer message than any so far: read it again whole
        (void)::RegQueryValueExW(key.get(), value, nullptr, nullptr, data.data(), &size);
      }
    }
    ++keys;
  }
  return keys;
}

// Starts the service and returns the seconds until the manager reports it RUNNING (polled
// every millisecond); a negative value when it did not get there.
double TimedStart(test::ServiceControl& service) {
  const Stopwatch watch;
  if (!service.Start()) return -1;
  const ULONGLONG deadline = ::GetTickCount64() + kStateTimeoutMs;
  while (service.State() != SERVICE_RUNNING) {
    if (::GetTickCount64() > deadline) return -1;
    ::Sleep(1);
  }
  return watch.Seconds();
}

// Waits until the info pipe answers a query; true when it did.
bool WaitForInfoPipe() {
  wire::MessageWriter query(wire::kQueryRequest);
  query.Name("bench-none");
  const ULONGLONG deadline = ::GetTickCount64() + kPipeTimeoutMs;
  std::vector<std::uint8_t> reply;
  while (::GetTickCount64() < deadline) {
    ctl::PipeClient client;
    if (client.Connect(wire::kInfoPipeName) == ERROR_SUCCESS &&
        client.Exchange(query.span(), reply, kReplyTimeoutMs) == ERROR_SUCCESS) {
      return true;
    }
    ::Sleep(50);
  }
  return false;
}

// Starts the service and waits until it answers and has settled; the process id, 0 on failure.
DWORD StartAndSettle(test::ServiceControl& service) {
  if (TimedStart(service) < 0 || !WaitForInfoPipe()) return 0;
  ::Sleep(kSettleMs);
  return service.ProcessId();
}

// count queries of names the store does not hold, kMessageClients at once, each on a
// connection of its own. Returns 0 or the first failure's error.
DWORD SendQueries(std::size_t count) {
  std::vector<DWORD> errors(kMessageClients, ERROR_SUCCESS);
  std::vector<std::thread> clients;
  for (std::size_t c = 0; c < kMessageClients; ++c) {
    clients.emplace_back([&, c] {
      wire::MessageWriter query(wire::kQueryRequest);
      query.Name("bench-none-" + std::to_string(c));
      std::vector<std::uint8_t> reply;
      for (std::size_t i = c; i < count && errors[c] == ERROR_SUCCESS; i += kMessageClients) {
        ctl::PipeClient client;
        errors[c] = client.Connect(wire::kInfoPipeName);
        if (errors[c] == ERROR_SUCCESS) errors[c] = client.Exchange(query.span(), reply, kReplyTimeoutMs);
      }
    });
  }
  for (std::thread& client : clients) client.join();
  for (const DWORD error : errors) {
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

double Kib(std::uint64_t bytes) { return static_cast<double>(bytes) / 1024.0; }

int Startup(test::ServiceControl& service, std::size_t keys, std::size_t starts) {
  const Stopwatch write_watch;
  if (const DWORD error = WriteRequestKeys(0, keys, 2); error != ERROR_SUCCESS) {
    std::fprintf(stderr, "the request keys could not be written: error %lu\n", error);
    return 1;
  }
  std::printf("start-up: %zu request keys written in %.1f s (half final, half in progress)\n", keys,
              write_watch.Seconds());
  std::vector<double> starts_seconds;
  std::vector<double> bare_seconds;
  for (std::size_t run = 0; run < starts; ++run) {
    const Stopwatch bare_watch;
    const std::size_t read = EnumerateAndRead();
    bare_seconds.push_back(bare_watch.Seconds());
    const double start = TimedStart(service);
    if (read < keys || start < 0) {
      std::fprintf(stderr, "start-up run %zu failed: %zu keys read, start %s\n", run, read,
                   start < 0 ? "did not reach RUNNING" : "fine");
      return 1;
    }
    starts_seconds.push_back(start);
    std::printf("start-up run %zu: bare %.0f ms, start %.0f ms\n", run + 1, bare_seconds.back() * 1e3,
                start * 1e3);
    if (!service.Stop()) {
      std::fprintf(stderr, "the service did not stop\n");
      return 1;
    }
  }
  DeleteRequestKeys();
  std::vector<double> empty_seconds;
  for (std::size_t run = 0; run < starts; ++run) {
    const double start = TimedStart(service);
    if (start < 0 || !service.Stop()) return 1;
    empty_seconds.push_back(start);
  }
  const double with_keys = bench::FiguresOf(starts_seconds).median * 1e3;
  const double bare = bench::FiguresOf(bare_seconds).median * 1e3;
  const double empty = bench::FiguresOf(empty_seconds).median * 1e3;
  bench::PrintFigure(bench::Ratio(with_keys, bare),
                     "start-up to RUNNING with %zu keys: %.0f ms (median of %zu; %.0f ms with none), bare "
                     "enumerate-and-read %.0f ms",
                     keys, with_keys, starts, empty, bare);
  bench::PrintFigure(bench::Ratio(with_keys - empty, bare),
                     "start-up cost of the %zu keys alone: %.0f ms, bare enumerate-and-read %.0f ms", keys,
                     with_keys - empty, bare);
  return 0;
}

int Memory(test::ServiceControl& service, std::size_t queued, std::size_t messages) {
  const DWORD empty_pid = StartAndSettle(service);
  const std::uint64_t empty = bench::PrivateBytes(empty_pid);
  if (empty_pid == 0 || empty == 0 || !service.Stop()) {
    std::fprintf(stderr,
                 "the service with no request could not be measured (process %lu, %llu bytes, error %lu)\n",
                 empty_pid, static_cast<unsigned long long>(empty), ::GetLastError());
    return 1;
  }
  if (const DWORD error = WriteRequestKeys(0, queued, 1); error != ERROR_SUCCESS) {
    std::fprintf(stderr, "the request keys could not be written: error %lu\n", error);
    return 1;
  }
  const DWORD pid = StartAndSettle(service);
  const std::uint64_t loaded = bench::PrivateBytes(pid);
  if (pid == 0 || loaded == 0) {
    std::fprintf(stderr, "the service with %zu queued requests could not be measured\n", queued);
    return 1;
  }
  const double message_size = static_cast<double>(StoredMessage(KeyName(0)).span().size());
  const double per_request =
      (static_cast<double>(loaded) - static_cast<double>(empty)) / static_cast<double>(queued);
  std::printf(
      "memory: private bytes %.0f KiB with no request, %.0f KiB with %zu queued (message %.0f bytes)\n",
      Kib(empty), Kib(loaded), queued, message_size);
  bench::PrintFigure(
      bench::Ratio(per_request - message_size, kPerRequestAllowance),
      "memory per queued request beyond its message copy: %.0f bytes, against the 2048 allowed",
      per_request - message_size);

  if (const DWORD error = SendQueries(kWarmUpMessages); error != ERROR_SUCCESS) {
    std::fprintf(stderr, "the warm-up queries failed: error %lu\n", error);
    return 1;
  }
  ::Sleep(kSettleMs);
  const std::uint64_t before = bench::PrivateBytes(pid);
  const Stopwatch watch;
  if (const DWORD error = SendQueries(messages); error != ERROR_SUCCESS) {
    std::fprintf(stderr, "the queries failed: error %lu\n", error);
    return 1;
  }
  const double seconds = watch.Seconds();
  ::Sleep(kSettleMs);
  const std::uint64_t after = bench::PrivateBytes(pid);
  bench::PrintFigure(
      bench::Ratio(static_cast<double>(after), static_cast<double>(before)),
      "memory across %zu queries (%zu clients, one per connection, %.1f s): %.0f KiB before, %.0f KiB "
      "after, %+.0f KiB",
      messages, kMessageClients, seconds, Kib(before), Kib(after), Kib(after) - Kib(before));
  if (!service.Stop()) return 1;
  DeleteRequestKeys();
  return 0;
}

// The number of threads of the process; 0 when it cannot be found.
DWORD ThreadCount(DWORD process_id) {
  const UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == process_id) return entry.cntThreads;
  }
  return 0;
}

int IdleClients(test::ServiceControl& service, std::size_t count) {
  const DWORD pid = StartAndSettle(service);
  const std::uint64_t before = bench::PrivateBytes(pid);
  const DWORD threads_before = ThreadCount(pid);
  if (pid == 0 || before == 0 || count == 0) {
    std::fprintf(stderr, "the service could not be measured (process %lu)\n", pid);
    return 1;
  }
  // Connected and silent: each holds a connection thread of the service waiting for a message.
  std::vector<ctl::PipeClient> clients(count);
  for (ctl::PipeClient& client : clients) {
    if (const DWORD error = client.Connect(wire::kInfoPipeName); error != ERROR_SUCCESS) {
      std::fprintf(stderr, "an idle client could not connect: error %lu\n", error);
      return 1;
    }
  }
  ::Sleep(kSettleMs);
  const std::uint64_t after = bench::PrivateBytes(pid);
  const DWORD threads_after = ThreadCount(pid);
  const double per_connection = (static_cast<double>(after) - static_cast<double>(before)) / count;
  bench::PrintFigure(bench::Ratio(per_connection, kPerIdleConnectionAllowance),
                     "idle info-pipe clients: %zu connected, private bytes %.0f KiB before, %.0f KiB after, "
                     "threads %lu before, %lu after; per connection %.1f KiB and %.2f threads, against the "
                     "256 KiB allowed",
                     count, Kib(before), Kib(after), threads_before, threads_after, Kib(per_connection),
                     (static_cast<double>(threads_after) - threads_before) / count);
  clients.clear();
  return service.Stop() ? 0 : 1;
}

std::size_t Argument(int argc, wchar_t** argv, int index, std::size_t fallback) {
  return argc > index ? std::wcstoul(argv[index], nullptr, 10) : fallback;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  test::ServiceControl service;
  if (!service.valid()) {
    std::fprintf(stderr, "the service QFUpdate is not installed\n");
    return 1;
  }
  service.StopIfRunning();
  DeleteRequestKeys();
  int result = 2;
  if (mode == L"startup") {
    result = Startup(service, Argument(argc, argv, 2, 10000), Argument(argc, argv, 3, 3));
  } else if (mode == L"memory") {
    result = Memory(service, Argument(argc, argv, 2, 10000), Argument(argc, argv, 3, 100000));
  } else if (mode == L"idle-clients") {
    result = IdleClients(service, Argument(argc, argv, 2, 100));
  } else {
    std::fprintf(stderr, "usage: service_bench.exe startup|memory|idle-clients [count] [count]\n");
  }
  service.StopIfRunning();
  DeleteRequestKeys();
  return result;
}
