#include "support/run_together.h"

#include <atomic>
#include <vector>

#include "common/handle.h"

namespace qfu::test {
namespace {

struct Gate {
  const std::function<void(std::size_t)>* work = nullptr;
  std::size_t count = 0;
  std::atomic<std::size_t> waiting{0};
  UniqueHandle all_waiting;  // manual-reset: set by the last thread to arrive
  UniqueHandle open;         // manual-reset: releases every thread at once
};

struct Runner {
  Gate* gate;
  std::size_t index;
};

DWORD WINAPI RunnerThread(LPVOID argument) {
  const Runner runner = *static_cast<const Runner*>(argument);
  Gate& gate = *runner.gate;
  if (gate.waiting.fetch_add(1) + 1 == gate.count) ::SetEvent(gate.all_waiting.get());
  ::WaitForSingleObject(gate.open.get(), INFINITE);
  (*gate.work)(runner.index);
  return 0;
}

}  // namespace

bool RunTogether(std::size_t count, const std::function<void(std::size_t)>& work, DWORD timeout_ms) {
  if (count == 0 || count > kMaxTogether) return false;
  Gate gate;
  gate.work = &work;
  gate.count = count;
  gate.all_waiting.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  gate.open.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!gate.all_waiting || !gate.open) return false;

  std::vector<Runner> runners(count);
  std::vector<UniqueHandle> threads;
  std::vector<HANDLE> handles;
  for (std::size_t i = 0; i < count; ++i) {
    runners[i] = Runner{&gate, i};
    threads.emplace_back(::CreateThread(nullptr, 0, RunnerThread, &runners[i], 0, nullptr));
    if (!threads.back()) break;
    handles.push_back(threads.back().get());
  }
  const bool started =
      handles.size() == count && ::WaitForSingleObject(gate.all_waiting.get(), timeout_ms) == WAIT_OBJECT_0;
  if (started) ::SetEvent(gate.open.get());
  const bool finished =
      started && ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE,
                                          timeout_ms) == WAIT_OBJECT_0;
  if (!finished) {
    // Stragglers (or, when not all could start, the threads held at the gate) must not
    // outlive the objects they were given.
    for (const HANDLE thread : handles) {
      if (::WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) ::TerminateThread(thread, 1);
    }
    ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, timeout_ms);
  }
  return finished;
}

}  // namespace qfu::test
