// The queue worker driven by seeded random steps on the real store under a scratch key, with
// fakes for the rest: submits, cancels, install-now, clock advances, wakes (whose fakes draw
// every outcome and now and then inject a cancel or a stop), and stops followed by recovery.
// After every step the invariants hold: an answered cancel is carried out and nothing installs
// after it; a dry run neither downloads nor installs; no request is lost; a finished request
// leaves no package; nothing installs unverified; no mutex stays held; the update event rests.
// QFU_RANDOM_SEED and QFU_RANDOM_STEPS choose the run (long mode by hand); the seed is printed.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "store/request_key.h"
#include "support/fake_worker_ports.h"
#include "support/test_messages.h"
#include "wire/ui_prompt.h"
#include "wire/update_status.h"
#include "worker/recovery.h"

namespace qfu::worker {
namespace {

using namespace wire;
using namespace std::chrono_literals;

constexpr std::uint64_t kDefaultSteps = 2000;
constexpr int kMaxWakesInARow = 20;  // more means an update event that never rests
const char* const kNames[] = {"Alpha", "Beta", "Gamma", "Mixed", "MIXED"};

std::uint64_t EnvNumber(const char* name, std::uint64_t otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : otherwise;
}

// A request as the steps know it, under its key (the registry's letter case does not count).
struct Tracked {
  std::string name;            // as last submitted
  std::uint32_t instance = 0;  // not 0: a dry run
  UpdateStatus last{};         // the status last seen
  bool cancel_answered = false;
};

std::string Key(std::string_view name, std::uint32_t instance) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key + "#" + std::to_string(instance);
}

class RandomWorker final : public store::StatusReporter {
 public:
  explicit RandomWorker(std::uint64_t seed) : random_(seed), bench_(L"Random") {
    objects().status_reporter = this;
    test::FakeWorld& world = bench_.world;
    world.during = [this, &world](std::string_view port) {
      if (port == "download") {
        world.download_result = Pick<DWORD>({0, 0, 0, 12029, ERROR_FILE_NOT_FOUND, kDownloadStopped});
      } else if (port == "install") {
        world.install_result = Pick<DWORD>({0, 3010, 3010, 1618, 1603});
      } else if (port == "prompt") {
        world.replies.resize(world.timeouts.size(),
                             Pick<std::uint32_t>({ui_reply::kYes, ui_reply::kNo, ui_reply::kCancel,
                                                  ui_reply::kIgnore, ui_reply::kTimedOut, 99}));
      } else if (port == "system") {
        world.restart_pending = Draw(10) == 0;
        world.installer_busy = Draw(10) == 0;
      } else if (port == "users") {
        world.users = Draw(3) == 0 ? 1 : 0;
      }
      // The request at hand is the one whose status was written last (Downloading, Verifying,
      // Installing): a dry run never gets this far.
      const bool acts = port == "download" || port == "lock" || port == "verify" || port == "install";
      if (acts && at_hand_.find("#0") == std::string::npos)
        Broken(std::string(port) + " for the dry run " + at_hand_);
      Inject();
    };
  }

  // One random step, then the invariants; returns what broke (empty: nothing).
  std::vector<std::string> Step() {
    const std::uint32_t draw = Draw(19);
    if (draw < 4) {
      Submit();
    } else if (draw < 6) {
      if (draw == 4 || Draw(4) == 0) Cancel(draw == 4 ? kNames[Draw(5)] : "*", draw == 4 ? Draw(2) : 0);
    } else if (draw == 6) {
      (void)bench_.store.Result(test::NamedMessage(kInstallPostponedNow, ""));
    } else if (draw < 9) {
      const Milliseconds interval = Pick<Milliseconds>({1s, 10min, 1h, 24h});
      bench_.store.clock().tick += interval;
      bench_.store.clock().utc += interval;
    } else if (draw == 9) {
      Restart();  // a stop between wakes
    } else {
      Wake();
    }
    Check();
    return std::exchange(broken_, {});
  }

  // StatusReporter: every change the store reports.
  void StatusChanged(Bytes message, UpdateStatus to, std::uint32_t) noexcept override {
    const RequestMessage request(message);
    at_hand_ = Key(request.request_name(), request.instance_number());
    Tracked& seen = tracked_[at_hand_];
    const std::string what =
        at_hand_ + ": " + std::to_string(WireValue(seen.last)) + " -> " + std::to_string(WireValue(to));
    if (to == kInstalling && seen.cancel_answered) Broken("installs after an answered cancel: " + what);
    if (to == kCancelled && !seen.cancel_answered) Broken("cancelled without a cancel: " + what);
    if (to == kInstalling && seen.last != kVerifying) Broken("installs what was not verified: " + what);
    seen.last = to;
  }

 private:
  std::uint32_t Draw(std::uint32_t bound) { return static_cast<std::uint32_t>(random_() % bound); }
  template <typename T>
  T Pick(std::initializer_list<T> values) {
    return values.begin()[Draw(static_cast<std::uint32_t>(values.size()))];
  }
  void Broken(const std::string& what) { broken_.push_back(what); }
  ProcessObjects& objects() { return bench_.objects(); }

  void Submit() {
    const std::string name = kNames[Draw(5)];
    auto message = test::SubmitMessage(name, "http://127.0.0.1/p.msi", "A=1");
    message.Flags(Pick<RequestFlags>(
        {{}, {}, flags::kNoPrompts, flags::kForceInstall, flags::kNoInstallWhileLoggedOn}));
    message.U32(kProductKindAt, Pick<std::uint32_t>({product_kind::kCurrentClient, 5}));
    message.U32(kDeadlineAt, Pick<std::uint32_t>({0, 30, 1440}))
        .U32(kPostponeIntervalAt, Pick<std::uint32_t>({0, 10}));
    const std::uint32_t instance = Draw(3) == 0 ? 1 : 0;
    if (instance != 0) message.Instance(instance);
    if (bench_.store.Result(message) == result::kDone) {
      tracked_[Key(name, instance)] = {name, instance, kQueued, false};
    }
  }

  // A cancel (of one request, or "*": of every active one) counts as answered from its start:
  // a waiting record is cancelled inside it.
  void Cancel(const std::string& name, std::uint32_t instance) {
    auto message = test::NamedMessage(kCancelRequest, name);
    if (instance != 0) message.Instance(instance);
    std::vector<Tracked*> active;
    for (auto& [key, request] : tracked_) {
      if ((name == "*" || key == Key(name, instance)) &&
          !IsFinalStatus(bench_.Stored(request.name, request.instance))) {
        active.push_back(&request);
      }
    }
    for (Tracked* request : active) request->cancel_answered = true;
    const bool done = bench_.store.Result(message) == result::kDone;
    for (Tracked* request : active) request->cancel_answered = done;
  }

  // Now and then, while the worker asks a fake: a cancel of a request the worker holds, or a
  // stop. Never while the worker holds the cancel mutex: a cancel from another thread would wait.
  void Inject() {
    const std::uint32_t draw = Draw(40);
    if (draw == 0) bench_.world.stop = true;
    if (draw == 0 || draw > 3 || !test::MutexesAreFree({objects().cancel_mutex.get()})) return;
    std::vector<const Tracked*> held;
    for (const auto& [key, request] : tracked_) {
      const UpdateStatus status = bench_.Stored(request.name, request.instance);
      if (!IsFinalStatus(status) && status != kRestartPending && Listed(request) == nullptr)
        held.push_back(&request);
    }
    if (!held.empty()) {
      const Tracked& request = *held[Draw(static_cast<std::uint32_t>(held.size()))];
      Cancel(request.name, request.instance);
    }
  }

  // Wakes the worker until its update event rests; a stop is followed by a start (Restart).
  void Wake() {
    const Milliseconds now = bench_.store.clock().tick;
    bench_.window = Draw(6) == 0
                        ? InstallWindow{.in_window = false, .next_start_tick = now + 1h}
                        : InstallWindow{.window_end_tick = Draw(3) == 0 ? now + 2min : Milliseconds{}};
    bench_.world.restart_result = Pick<DWORD>({0, 1115});
    bench_.world.lock_result = Pick<DWORD>({0, 0, 0, ERROR_SHARING_VIOLATION});
    for (int wake = 0; wake < kMaxWakesInARow; ++wake) {
      const bool ran = bench_.worker().RunOnce();
      if (!bench_.store.MutexesAreFree()) Broken("a wake left a mutex held");
      if (!ran) {
        Restart();
      } else if (!bench_.store.TakeUpdateEvent()) {
        return;
      }
    }
    Broken("the update event never rests");
  }

  void Restart() {
    objects().requests.Clear();
    objects().held.Clear();
    bench_.world.stop = false;
    // Now and then the machine's restart installed the version every submit asks for.
    bench_.world.version = Draw(2) == 0 ? L"1.2.3.4" : L"";
    RecoverStoredRequests(objects(), bench_.world);
    for (auto& [key, request] : tracked_) request.last = bench_.Stored(request.name, request.instance);
  }

  store::RequestRecord* Listed(const Tracked& request) {
    store::RequestRecord* found = nullptr;
    objects().requests.ForEach([&](store::RequestRecord& record) {
      const RequestMessage listed(record.message());
      if (Key(listed.request_name(), listed.instance_number()) == Key(request.name, request.instance))
        found = &record;
      return found == nullptr;
    });
    return found;
  }

  void Check() {
    for (const auto& [key, request] : tracked_) {
      const UpdateStatus status = bench_.Stored(request.name, request.instance);
      const std::string what = key + " " + std::to_string(WireValue(status));
      const bool final = IsFinalStatus(status);
      // A restart left pending waits for the machine, listed nowhere.
      if (!final && status != kRestartPending && Listed(request) == nullptr) Broken("lost: " + what);
      if (request.cancel_answered && !final) Broken("an answered cancel not carried out: " + what);
      if (final && request.instance == 0 && OnDisk(request.name)) {
        Broken("a package left by a finished request: " + what);
      }
    }
  }

  // Package paths compare as Windows compares them, without regard to letter case.
  bool OnDisk(const std::string& name) const {
    const std::wstring path = test::PackagePathOf(name);
    for (const std::wstring& file : bench_.world.disk) {
      if (_wcsicmp(file.c_str(), path.c_str()) == 0) return true;
    }
    return false;
  }

  std::mt19937_64 random_;
  test::WorkerBench bench_;
  std::map<std::string, Tracked> tracked_;
  std::vector<std::string> broken_;
  std::string at_hand_;  // the key of the last status change
};

TEST(RandomWorker, KeepsItsInvariantsThroughRandomSteps) {
  const std::uint64_t seed = EnvNumber("QFU_RANDOM_SEED", std::random_device{}());
  const std::uint64_t steps = EnvNumber("QFU_RANDOM_STEPS", kDefaultSteps);
  std::printf("random worker test: QFU_RANDOM_SEED=%llu QFU_RANDOM_STEPS=%llu\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(steps));
  RandomWorker random_worker(seed);
  for (std::uint64_t step = 0; step < steps; ++step) {
    const std::vector<std::string> broken = random_worker.Step();
    ASSERT_TRUE(broken.empty()) << "seed " << seed << ", step " << step << ": " << broken.front();
  }
}

}  // namespace
}  // namespace qfu::worker
