#include "support/worker_bench.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "store/store_operations.h"

namespace qfu::test {
namespace {

DWORD WINAPI RunWorker(LPVOID worker) { return static_cast<worker::QueueWorker*>(worker)->Run(); }

}  // namespace

WorkerBench::WorkerBench(const std::wstring& name, Clock* clock)
    : store(name), stop_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  ProcessObjects& objects = store.objects();
  if (clock != nullptr) objects.clock = clock;
  objects.status_reporter = &statuses;
  objects.package_files = &removals;
  client_api.connected = true;
  client_api.network_type = 1;
  const worker::WorkerPorts ports{objects.clock, &client_api, &downloader, &installer, &pause};
  worker_ = std::make_unique<worker::QueueWorker>(objects, stop_event.get(), ports);
}

WorkerBench::~WorkerBench() {
  if (thread_) {
    EXPECT_TRUE(StopThread(10000));
  }
}

store::RequestRecord* WorkerBench::Submit(const wire::MessageWriter& message) {
  store::RequestRecord* record = store.EnqueueAlone(message);
  (void)store.TakeUpdateEvent();
  statuses.changes.clear();
  return record;
}

void WorkerBench::Store(const wire::MessageWriter& message, std::uint32_t status) {
  EXPECT_EQ(store::SetRequestStatus(objects(), message.span(), status, 0, false), 0u);
  statuses.changes.clear();
}

std::uint32_t WorkerBench::StoredStatus(const std::wstring& key) const {
  return store.Dword(key, store::value::kUpdateStatus);
}

std::uint32_t WorkerBench::StoredDetail(const std::wstring& key) const {
  return store.Dword(key, store::value::kSystemErrorCode);
}

void WorkerBench::RunThread() {
  thread_.reset(::CreateThread(nullptr, 0, RunWorker, worker_.get(), 0, nullptr));
  ASSERT_TRUE(thread_);
}

bool WorkerBench::StopThread(DWORD timeout_ms) {
  ::SetEvent(stop_event.get());
  DWORD exit_code = 1;
  const bool ended = ::WaitForSingleObject(thread_.get(), timeout_ms) == WAIT_OBJECT_0 &&
                     ::GetExitCodeThread(thread_.get(), &exit_code) && exit_code == 0;
  // A thread that never returned would go on using the bench: a failed test may not outlive it.
  if (!ended && ::WaitForSingleObject(thread_.get(), 0) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "the queue worker's thread did not stop within %lu ms\n", timeout_ms);
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), 3);
  }
  thread_.reset();
  return ended;
}

}  // namespace qfu::test
