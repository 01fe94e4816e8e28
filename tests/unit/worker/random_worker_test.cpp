// The queue worker driven by seeded random steps on the real store under a scratch key, with
// fakes for the rest: submits, cancels (by name and "*"), install-now, clock advances, wakes
// (which draw UI answers, download and installer outcomes, system states, and now and then a
// cancel or a stop at the moment the worker asks a fake), stops followed by recovery, and a
// cancel flag left behind on a finished request. After every step it checks the invariants: no
// installation after an answered cancel, which is carried out; every request final, listed or
// waiting for a restart; no package left by a finished request; only the changes the tables
// allow; every wake ends and the update event comes to rest.
// QFU_RANDOM_SEED and QFU_RANDOM_STEPS choose the run (long mode by hand); the seed is printed.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/utf.h"
#include "store/store_operations.h"
#include "support/dispatch.h"
#include "support/test_messages.h"
#include "support/worker_bench.h"
#include "wire/ui_prompt.h"
#include "wire/update_status.h"
#include "worker/recovery.h"

namespace qfu::worker {
namespace {

using namespace wire;

constexpr std::uint64_t kDefaultSteps = 2000;
constexpr int kMaxChangesPerWake = 200;  // more means a wake that goes round for ever
constexpr int kMaxWakesInARow = 20;      // more means an update event that never rests
const char* const kNames[] = {"Alpha", "Beta", "Gamma", "Mixed", "MIXED"};

std::uint64_t EnvNumber(const char* name, std::uint64_t otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : otherwise;
}

// The status changes the worker's tables allow; any status that is not final may end Cancelled,
// and only a submit or recovery (which may resume any request) writes Queued.
bool Allowed(UpdateStatus from, UpdateStatus to) {
  static const std::map<UpdateStatus, std::set<UpdateStatus>> kNext = {
      {kQueued, {kDownloading, kInstallFailed}},
      {kDownloadRetry, {kDownloading, kInstallFailed}},
      {kDownloading, {kDownloaded, kDownloadRetry, kDownloadFailed}},
      {kDownloaded, {kDeferred, kPrompting, kReadyToInstall}},
      {kPostponed, {kDeferred, kPrompting, kReadyToInstall}},
      {kDeferred, {kDeferred, kPrompting, kReadyToInstall}},
      {kPrompting, {kReadyToInstall, kPostponed, kConsentTimedOut}},
      {kReadyToInstall, {kVerifying, kDeferred, kDownloaded}},
      {kVerifying, {kInstalling, kVerificationFailed, kReadyToInstall}},  // the package held by another
      {kInstalling, {kCompleted, kRestartPending, kReadyToInstall, kInstallFailed}},
      {kCompleted, {kRestartPending}},  // a product of kind 5 whose restart failed
      {kRestartPending, {kRestartPending, kCompleted}},
  };
  if (to == kCancelled) return !IsFinalStatus(from);
  if (to == kQueued) return true;
  const auto next = kNext.find(from);
  return next != kNext.end() && next->second.contains(to);
}

// A request as the steps know it, under its key (the registry's letter case does not count).
struct Tracked {
  std::string name;            // as last submitted
  std::uint32_t instance = 0;  // not 0: a dry run
  UpdateStatus last{};         // the status last seen
  bool cancel_answered = false;
};

std::string StatusText(UpdateStatus status) {
  const char* name = UpdateStatusName(status);
  return name != nullptr ? name : std::to_string(WireValue(status));
}

std::string Key(std::string_view name, std::uint32_t instance) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key + "#" + std::to_string(instance);
}

std::wstring PackagePath(std::string_view name) {
  return L"C:\\pkg\\" + Utf8ToWide(Key(name, 0)) + L"\\p.msi";
}

class RandomWorker final : public store::StatusReporter,
                           public store::PackageFileRemover,
                           public Downloader,
                           public SystemState {
 public:
  explicit RandomWorker(std::uint64_t seed) : random_(seed) {
    WorkerPorts ports;
    ports.downloader = this;
    ports.system_state = this;
    bench_ = std::make_unique<test::WorkerBench>(L"Random", nullptr, ports);
    bench_->objects().status_reporter = this;
    bench_->objects().package_files = this;
    bench_->installer.during = [this] {
      Inject();
      bench_->installer.result = Pick<DWORD>({0, 3010, 3010, 1618, 1603});
    };
    bench_->ui.during = [this] {
      Inject();
      bench_->ui.replies.resize(bench_->ui.prompts.size(),
                                Pick<std::uint32_t>({ui_reply::kYes, ui_reply::kNo, ui_reply::kCancel,
                                                     ui_reply::kIgnore, ui_reply::kTimedOut, 99}));
    };
  }

  // One random step, then the invariants; returns what broke (empty: nothing).
  std::vector<std::string> Step() {
    switch (Draw(20)) {
      case 0:
      case 1:
      case 2:
      case 3:
        Submit();
        break;
      case 4: {
        const std::string name = kNames[Draw(5)];
        Cancel(name, Draw(2));
        break;
      }
      case 5:
        if (Draw(4) == 0) CancelAll();
        break;
      case 6:
        (void)test::DispatchedResult(bench_->store, test::NamedMessage(kInstallPostponedNow, ""));
        break;
      case 7:
      case 8:
        Advance(Pick<std::uint64_t>({1000, 600000, 3600000, 86400000}));
        break;
      case 9:
        LeaveStaleCancelFlag();
        break;
      case 10:
        Restart();
        break;  // a stop between wakes
      default:
        Wake();
        break;
    }
    Check();
    return std::exchange(broken_, {});
  }

  // StatusReporter: every change the store reports.
  void StatusChanged(Bytes message, UpdateStatus status, std::uint32_t) noexcept override {
    const RequestMessage request(message);
    Tracked& request_seen = tracked_[Key(request.request_name(), request.instance_number())];
    const std::string what = std::string(request.request_name()) + ": " + StatusText(request_seen.last) +
                             " -> " + StatusText(status);
    if (++changes_ == kMaxChangesPerWake) Broken("a wake that does not end, at " + what);
    if (changes_ >= kMaxChangesPerWake) bench_->pause.stop = true;
    if (status == kInstalling && request_seen.cancel_answered)
      Broken("installs after an answered cancel: " + what);
    if (status == kCancelled && !request_seen.cancel_answered) Broken("cancelled without a cancel: " + what);
    if (!Allowed(request_seen.last, status)) Broken("a change the tables do not allow: " + what);
    request_seen.last = status;
  }
  // PackageFileRemover: the package files on the fake disk.
  void RemovePackageFiles(const wchar_t* target_path, bool) noexcept override { disk_.erase(target_path); }
  // Downloader: a package of its own per request name. Every attempt but a refused one leaves a
  // file, whole or partial; a transfer ends early only when the service stops.
  DWORD ChoosePackagePath(const wchar_t* name, const wchar_t*, std::span<wchar_t> package_path) override {
    std::wcsncpy(package_path.data(), PackagePath(WideToUtf8(name)).c_str(), package_path.size() - 1);
    return ERROR_SUCCESS;
  }
  DWORD DownloadPackage(const wchar_t*, const wchar_t* package_path, bool) override {
    Inject();
    const DWORD result = Pick<DWORD>({0, 0, 0, 12029, ERROR_FILE_NOT_FOUND, kDownloadStopped});
    if (result != ERROR_FILE_NOT_FOUND) disk_.insert(package_path);
    if (result == kDownloadStopped) bench_->pause.stop = true;
    return result;
  }
  bool RestartPending() override { return Inject(), Draw(10) == 0; }
  bool InstallerBusy() override { return Inject(), Draw(10) == 0; }
  DWORD LoggedOnUserCount() override { return Inject(), Draw(3) == 0 ? 1 : 0; }

 private:
  std::uint32_t Draw(std::uint32_t bound) { return static_cast<std::uint32_t>(random_() % bound); }
  template <typename T>
  T Pick(std::initializer_list<T> values) {
    return values.begin()[Draw(static_cast<std::uint32_t>(values.size()))];
  }
  void Broken(const std::string& what) { broken_.push_back(what); }
  ProcessObjects& objects() { return bench_->objects(); }

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
    if (test::DispatchedResult(bench_->store, message) == result::kDone) {
      tracked_[Key(name, instance)] = {name, instance, kQueued, false};
    }
  }

  // A cancel counts as answered from its start: a waiting record is cancelled inside it.
  void Cancel(const std::string& name, std::uint32_t instance) {
    auto message = test::NamedMessage(kCancelRequest, name);
    if (instance != 0) message.Instance(instance);
    const auto found = tracked_.find(Key(name, instance));
    const bool active = found != tracked_.end() && !IsFinalStatus(Stored(found->second));
    if (active) found->second.cancel_answered = true;
    const bool done = test::DispatchedResult(bench_->store, message) == result::kDone;
    if (active) found->second.cancel_answered = done;
  }

  void CancelAll() {
    std::vector<Tracked*> active;
    for (auto& [key, request] : tracked_) {
      if (!IsFinalStatus(Stored(request))) active.push_back(&request);
    }
    for (Tracked* request : active) request->cancel_answered = true;
    const bool done =
        test::DispatchedResult(bench_->store, test::NamedMessage(kCancelRequest, "*")) == result::kDone;
    for (Tracked* request : active) request->cancel_answered = done;
  }

  // Now and then, while the worker asks a fake: a cancel of a request the worker holds, or a
  // stop. Never while the worker holds the cancel mutex: a cancel from another thread would wait.
  void Inject() {
    const std::uint32_t draw = Draw(40);
    if (draw == 0) bench_->pause.stop = true;
    if (draw == 0 || draw > 3 || !test::MutexesAreFree({objects().cancel_mutex.get()})) return;
    std::vector<const Tracked*> held;
    for (const auto& [key, request] : tracked_) {
      const UpdateStatus status = Stored(request);
      if (!IsFinalStatus(status) && status != kRestartPending && Listed(request) == nullptr)
        held.push_back(&request);
    }
    if (!held.empty()) {
      const Tracked& request = *held[Draw(static_cast<std::uint32_t>(held.size()))];
      Cancel(request.name, request.instance);
    }
  }

  void Advance(std::uint64_t ms) {
    bench_->store.clock().tick += ms;
    bench_->store.clock().utc += ms * 10000;
  }

  // A cancel's flag that lands on a request after its final status, as a cancel racing the
  // worker's last write leaves it.
  void LeaveStaleCancelFlag() {
    for (const auto& [key, request] : tracked_) {
      if (IsFinalStatus(Stored(request))) {
        (void)store::SetCancelPending(objects(), test::NameField(test::SubmitMessage(request.name)),
                                      request.instance);
        return;
      }
    }
  }

  // Wakes the worker until its update event rests; a stop is followed by a start: the lists
  // in memory are gone and start-up recovery reads the store.
  void Wake() {
    bench_->window =
        Draw(6) == 0 ? InstallWindow{false, 0, bench_->store.clock().tick + 3600000, 0} : InstallWindow{};
    bench_->restart.result = Pick<DWORD>({0, 1115});
    bench_->package_lock.result = Pick<DWORD>({0, 0, 0, ERROR_SHARING_VIOLATION});
    for (int wake = 0; wake < kMaxWakesInARow; ++wake) {
      changes_ = 0;
      if (!bench_->worker().RunOnce()) {
        Restart();
      } else if (!bench_->store.TakeUpdateEvent()) {
        return;
      }
    }
    Broken("the update event never rests");
  }

  void Restart() {
    objects().requests.Clear();
    objects().held.Clear();
    bench_->pause.stop = false;
    // Now and then the machine's restart installed the requested version (every submit asks
    // for 1.2.3.4): recovery then completes a restart left pending or an installation cut short.
    bench_->client_api.version = Draw(2) == 0 ? L"1.2.3.4" : L"";
    RecoverStoredRequests(objects(), bench_->client_api);
    for (auto& [key, request] : tracked_) request.last = Stored(request);
  }

  [[nodiscard]] UpdateStatus Stored(const Tracked& request) const {
    return bench_->StoredStatus(store::FormatRequestKeyName(Utf8ToWide(request.name), request.instance));
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
      const UpdateStatus status = Stored(request);
      const std::string what = key + " " + StatusText(status);
      const bool final = IsFinalStatus(status);
      // A restart left pending waits for the machine, listed nowhere.
      if (!final && status != kRestartPending && Listed(request) == nullptr) Broken("lost: " + what);
      if (request.cancel_answered && !final) Broken("an answered cancel not carried out: " + what);
      if (final && request.instance == 0 && disk_.contains(PackagePath(request.name))) {
        Broken("a package left by a finished request: " + what);
      }
    }
  }

  std::mt19937_64 random_;
  std::unique_ptr<test::WorkerBench> bench_;
  std::map<std::string, Tracked> tracked_;
  std::set<std::wstring> disk_;
  std::vector<std::string> broken_;
  int changes_ = 0;
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
