// Soak tests of the running service: hostile input on both pipes, many clients at once, and
// kills at random points of requests' lives. Each has a short mode (scripts/test.sh runs it
// through ctest, label "soak") and a long mode run by hand:
//
//   QFU_SOAK=long wine build/win64/bin/soak_tests.exe          (in a prefix from qfu_wine_prefix)
//
// QFU_SOAK_SEED=N repeats the random choices of an earlier run (each test prints its seed).
// The refusals are tested where the refusing code is (see tests/soak/README.md).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/utf.h"
#include "store/request_key.h"
#include "store/request_name.h"
#include "support/hostile_messages.h"
#include "support/http_server.h"
#include "support/pipe_checks.h"
#include "support/pipe_harness.h"
#include "support/process.h"
#include "support/run_together.h"
#include "support/running_service.h"
#include "support/scratch_directory.h"
#include "support/service_control.h"
#include "support/test_downloads.h"
#include "support/test_messages.h"
#include "support/ui_process.h"
#include "wire/message.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

namespace qfu {
namespace {

using namespace test;
using namespace wire::result;

const wchar_t* const kRequestPipe = wire::kRequestPipeName;
const wchar_t* const kInfoPipe = wire::kInfoPipeName;
// A package URL on a local port where nothing listens: the download fails at once and the
// request waits in DownloadRetry, with no network needed.
constexpr const char* kClosedPortUrl = "http://127.0.0.1:9/p.msi";
constexpr DWORD kSettleMs = 20000;

class Soak : public RunningService {
 protected:
  void SetUp() override {
    RunningService::SetUp();
    seed_ = SoakSeed();
    std::printf("seed %u (QFU_SOAK_SEED), %s mode\n", seed_, LongSoak() ? "long" : "short");
  }
  std::uint32_t seed_ = 0;
};

// Every message gets a reply: a status record, or a status record and one item.
bool IsReply(const Reply& reply) {
  return reply.size() >= wire::kStatusRecordSize && reply.size() <= wire::kReplyCapacity &&
         LengthOf(reply) == reply.size();
}

// Counts the service's handles every 50 ms until at most limit or timeout_ms have passed.
std::size_t HandlesAtMost(DWORD process_id, std::size_t limit, DWORD timeout_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  std::size_t count = CountHandles(process_id);
  while (count > limit && ::GetTickCount64() < deadline) {
    ::Sleep(50);
    count = CountHandles(process_id);
  }
  return count;
}

TEST_F(Soak, HostileMessagesOnBothPipesAreEachAnsweredAndLeaveNoHandleOrThreadBehind) {
  const std::size_t messages = LongSoak() ? 100000 : 500;
  ServiceControl service;
  const DWORD process_id = service.ProcessId();
  ASSERT_NE(process_id, 0u);
  const ServiceThreads threads;
  ASSERT_TRUE(threads.valid());
  const std::size_t handles = CountHandles(process_id);
  // Wine 8 cannot count another process's handles (GetProcessHandleCount fails); Windows can.
  ASSERT_TRUE(handles != 0 || RunningUnderWine()) << "GetProcessHandleCount " << ::GetLastError();

  HostileMessages source(seed_);
  std::mt19937 pick(seed_);
  std::map<std::string, int> unanswered;
  for (std::size_t n = 0; n < messages; ++n) {
    std::string what;
    const std::vector<std::uint8_t> message = source.Next(what);
    // One in four on the request pipe: its caller check reads this program's signature for
    // every message, which is slow under Wine.
    const bool request_pipe = pick() % 4 == 0;
    RawPipe client(request_pipe ? kRequestPipe : kInfoPipe);
    ASSERT_TRUE(client.valid()) << "message " << n << ": the service no longer takes connections";
    client.StartWrite(message);
    if (!IsReply(client.Read(kReplyTimeoutMs)))
      ++unanswered[what + (request_pipe ? " (request pipe)" : " (info pipe)")];
  }
  for (const auto& [what, count] : unanswered) ADD_FAILURE() << count << " unanswered: " << what;
  EXPECT_EQ(service.ProcessId(), process_id);

  // Whatever the valid submits among them left queued is cancelled, so that no request's
  // timer or download holds a handle any more.
  EXPECT_TRUE(IsReply(SendOnce(kRequestPipe, Cancel("*").span())));
  EXPECT_LE(threads.AtMost(0, kSettleMs), threads.baseline());
  if (handles != 0) {
    EXPECT_LE(HandlesAtMost(process_id, handles, kSettleMs), handles);
  }
}

// What one load client knows of one of its request names, from the replies it saw.
struct NameState {
  bool submitted = false;  // a submit was answered Done at least once
  bool cancelled = false;  // the last answered submit or cancel was a cancel answered Done
};

// The statuses a request on a closed port can show: it never gets past the download.
bool IsLoadStatus(wire::UpdateStatus status) {
  return status == wire::kQueued || status == wire::kDownloading || status == wire::kDownloadRetry ||
         status == wire::kCancelled;
}

// Sends one random message for one of the client's names and checks the reply against what
// the client knew; returns what was wrong, or "".
std::string LoadStep(std::mt19937& random, const std::string& name, NameState& state) {
  const auto expect = [&](bool holds, const char* message, const Reply& reply) {
    return holds ? std::string()
                 : name + ": " + message + " answered result " +
                       std::to_string(wire::WireValue(ResultOf(reply))) + " status " +
                       std::to_string(wire::WireValue(StatusOf(reply)));
  };
  switch (random() % 6) {
    case 0: {
      auto submit = SubmitMessage(name, kClosedPortUrl).AddFlags(wire::flags::kNoPrompts);
      const Reply reply = SendOnce(kRequestPipe, submit.span());
      if (ResultOf(reply) == kDone) {
        const bool ok = StatusOf(reply) == wire::kQueued;
        state = {true, false};
        return expect(ok, "submit", reply);
      }
      // A request still active (a cancel may not have ended it yet) refuses a second submit.
      return expect(state.submitted && ResultOf(reply) == kAlreadyExists, "submit", reply);
    }
    case 1: {
      const Reply reply = SendOnce(kInfoPipe, Query(name).span());
      if (!state.submitted) return expect(ResultOf(reply) == kNoSuchRequest, "query", reply);
      // Only a cancel answered Done ends a request in Cancelled.
      return expect(ResultOf(reply) == kDone && IsLoadStatus(StatusOf(reply)) &&
                        (state.cancelled || StatusOf(reply) != wire::kCancelled),
                    "query", reply);
    }
    case 2: {
      const Reply reply = SendOnce(kRequestPipe, Cancel(name).span());
      if (!state.submitted) return expect(ResultOf(reply) == kNoSuchRequest, "cancel", reply);
      if (ResultOf(reply) == kDone) state.cancelled = true;
      return expect(ResultOf(reply) == kDone || ResultOf(reply) == kCannotCancel, "cancel", reply);
    }
    case 3: {
      const Reply reply = SendOnce(kInfoPipe, Enumerate(random() % 80).span());
      return expect(ResultOf(reply) == kDone || ResultOf(reply) == kNothingToReport, "enumerate", reply);
    }
    case 4: {  // nothing here ever gets as far as the approval
      const Reply reply = SendOnce(kInfoPipe, Query("", wire::kQueryPostponed).span());
      return expect(ResultOf(reply) == kNothingToReport, "query postponed", reply);
    }
    default: {
      const Reply reply = SendOnce(kInfoPipe, Query("", wire::kInstallPostponedNow).span());
      return expect(ResultOf(reply) == kNothingToReport, "install postponed now", reply);
    }
  }
}

TEST_F(Soak, ThirtyTwoClientsGetOnlyRepliesTheProtocolAllowsAndLeaveConsistentRequests) {
  constexpr std::size_t kClients = 32;
  constexpr int kNamesPerClient = 2;
  const DWORD run_ms = LongSoak() ? 60000 : 10000;
  const auto name = [](std::size_t client, int n) {
    return "load" + std::to_string(client) + "n" + std::to_string(n);
  };
  std::vector<std::vector<NameState>> states(kClients, std::vector<NameState>(kNamesPerClient));
  std::vector<std::string> failures(kClients);
  std::atomic<std::size_t> steps{0};
  const ULONGLONG end = ::GetTickCount64() + run_ms;
  ASSERT_TRUE(RunTogether(
      kClients,
      [&](std::size_t client) {
        std::mt19937 random(seed_ + static_cast<std::uint32_t>(client));
        while (::GetTickCount64() < end && failures[client].empty()) {
          const int n = static_cast<int>(random() % kNamesPerClient);
          failures[client] = LoadStep(random, name(client, n), states[client][n]);
          ++steps;
        }
      },
      run_ms + 60000));
  std::printf("%zu messages\n", steps.load());
  for (std::size_t client = 0; client < kClients; ++client)
    EXPECT_EQ(failures[client], "") << "client " << client;

  // Only the clients' own, well-formed request keys are stored, and each request's status
  // follows the last reply its client saw: cancelled ones end Cancelled, the others stay active.
  std::set<std::wstring> expected_keys;
  for (std::size_t client = 0; client < kClients; ++client) {
    for (int n = 0; n < kNamesPerClient; ++n) {
      const NameState& state = states[client][n];
      if (!state.submitted) continue;
      expected_keys.insert(Utf8ToWide(name(client, n)));
      const wire::UpdateStatus status =
          state.cancelled ? WaitForStatus(kInfoPipe, name(client, n), wire::kCancelled, kSettleMs)
                          : StatusOf(SendOnce(kInfoPipe, Query(name(client, n)).span()));
      EXPECT_TRUE(state.cancelled ? status == wire::kCancelled
                                  : IsLoadStatus(status) && status != wire::kCancelled)
          << name(client, n) << " status " << wire::WireValue(status);
    }
  }
  std::set<std::wstring> keys;
  for (const std::wstring& key : RequestKeyNames()) {
    const auto parsed = store::ParseRequestKeyName(key);
    EXPECT_TRUE(parsed && store::IsAcceptableRequestName(parsed->name)) << WideToUtf8(key);
    keys.insert(key);
  }
  EXPECT_EQ(keys, expected_keys);
}

// Dry runs of a package served locally, each killed at random points of its life (queued,
// waiting before the download, downloading, ready or pausing in place of the installation)
// and started again: each ends Completed, as it would have without the kills.
// Starts the service again after a kill. Wine's service manager now and then refuses the first
// start after a kill that came soon after an installation (1359, ERROR_INTERNAL_ERROR; the
// service's process never runs): a few more tries, each told, within 10 s.
bool StartAfterKill(ServiceControl& service) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    if (service.Start()) return true;
    std::printf("start after the kill refused (%lu), trying again\n",
                static_cast<unsigned long>(::GetLastError()));
    ::Sleep(500);
  }
  return false;
}

// Three dry runs and one real update (a publisher-signed package, prompted through qfupdate-ui,
// which answers Yes after a while, verified and installed): the service is killed at random
// points of their lives (queued, pausing before the download, downloading, prompting,
// installing) and started again. Every request still ends Completed, exactly once per key, and
// the real package is installed.
TEST_F(Soak, RequestsKilledAtRandomPointsEndAsTheyWouldHaveWithoutTheKills) {
  constexpr std::uint32_t kDryRuns = 3;
  const int kills = LongSoak() ? 50 : 3;
  // The worker waits 10 s before a download, and the UI answers 5 s after a prompt arrives:
  // kills fall within the first 16 s of each run, so that some land in the prompt or the
  // installation of the real update.
  constexpr DWORD kLatestKillMs = 16000;
  constexpr DWORD kAllCompletedMs = 180000;
  constexpr const wchar_t* kInstalledPayload =
      L"C:\\ProgramData\\QFUpdate Service Fixture\\installer_payload.txt";
  const std::wstring real_package = Fixture(L"publisher_signed_update.msi");
  (void)UninstallPackage(real_package, kSettleMs);
  // The server outlives every kill and the wait for completion (its default life is 2 minutes).
  const int server_seconds = kills * static_cast<int>(kLatestKillMs / 1000 + 5) + kAllCompletedMs / 1000 + 60;
  TestHttpServer server(L"SoakKill", HttpScheme::kHttp, server_seconds);
  ASSERT_EQ(server.failure(), "");
  server.AddFile(L"soak.msi", std::string(256 * 1024, 'p'));
  const auto real_bytes = FileBytes(real_package);
  ASSERT_TRUE(real_bytes.has_value());
  server.AddFile(L"update.msi", *real_bytes);
  UiProcess ui(L"SoakKill", L"--answer yes --delay 5000", wire::kUiPipeName);
  ASSERT_TRUE(ui.serving());

  const std::string url = WideToUtf8(server.Url(L"/soak.msi"));
  for (std::uint32_t instance = 1; instance <= kDryRuns; ++instance) {
    auto submit = SubmitMessage("Soak", url)
                      .Instance(instance)
                      .AddFlags(wire::flags::kNoPrompts | wire::flags::kDownloadWhenDisconnected);
    ASSERT_EQ(ResultOf(SendOnce(kRequestPipe, submit.span())), kDone) << instance;
  }
  auto real = SubmitMessage("SoakReal", WideToUtf8(server.Url(L"/update.msi")))
                  .AddFlags(wire::flags::kDownloadWhenDisconnected)
                  .U32(wire::kDeadlineAt, 1440);
  ASSERT_EQ(ResultOf(SendOnce(kRequestPipe, real.span())), kDone);

  std::mt19937 random(seed_);
  ServiceControl service;
  for (int kill = 0; kill < kills; ++kill) {
    const DWORD after_ms = random() % kLatestKillMs;
    ::Sleep(after_ms);
    const wire::UpdateStatus status = StatusOf(SendOnce(kInfoPipe, Query("SoakReal").span()));
    std::printf("kill %d after %lu ms (SoakReal %s)\n", kill, static_cast<unsigned long>(after_ms),
                wire::UpdateStatusName(status) != nullptr ? wire::UpdateStatusName(status) : "?");
    ASSERT_TRUE(service.Kill());
    ASSERT_TRUE(StartAfterKill(service));
    ASSERT_TRUE(WaitForAgentPipes());
  }
  const ULONGLONG deadline = ::GetTickCount64() + kAllCompletedMs;
  const auto completed = [&](const std::string& name, std::uint32_t instance) {
    wire::UpdateStatus status{};
    do {
      status = StatusOf(SendOnce(kInfoPipe, Query(name).Instance(instance).span()));
      if (status == wire::kCompleted) break;
      ::Sleep(100);
    } while (::GetTickCount64() < deadline);
    return status;
  };
  for (std::uint32_t instance = 1; instance <= kDryRuns; ++instance) {
    EXPECT_EQ(completed("Soak", instance), wire::kCompleted) << "instance " << instance;
  }
  EXPECT_EQ(completed("SoakReal", 0), wire::kCompleted);
  EXPECT_NE(::GetFileAttributesW(kInstalledPayload), INVALID_FILE_ATTRIBUTES);
  std::vector<std::wstring> expected = {L"SoakReal"};
  for (std::uint32_t instance = 1; instance <= kDryRuns; ++instance) {
    expected.push_back(store::FormatRequestKeyName(L"Soak", instance));
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::wstring> keys = RequestKeyNames();
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, expected);
  (void)UninstallPackage(real_package, kSettleMs);
}

}  // namespace
}  // namespace qfu
