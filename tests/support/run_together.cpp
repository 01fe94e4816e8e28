#include "support/run_together.h"

#include <vector>

#include "common/handle.h"

namespace qfu::test {

bool RunTogether(std::size_t count, const std::function<void(std::size_t)>& work, DWORD timeout_ms) {
  if (count == 0 || count > kMaxTogether) return false;
  // Each thread waits at the gate; open releases them all once every one is created.
  struct Runner {
    const std::function<void(std::size_t)>* work;
    std::size_t index;
    HANDLE open;
  };
  const UniqueHandle open(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<Runner> runners(count);
  std::vector<UniqueHandle> threads;
  std::vector<HANDLE> handles;
  for (std::size_t i = 0; i < count && open; ++i) {
    runners[i] = {&work, i, open.get()};
    const auto run = [](LPVOID argument) -> DWORD {
      const Runner& runner = *static_cast<const Runner*>(argument);
      ::WaitForSingleObject(runner.open, INFINITE);
      (*runner.work)(runner.index);
      return 0;
    };
    threads.emplace_back(::CreateThread(nullptr, 0, run, &runners[i], 0, nullptr));
    if (!threads.back()) break;
    handles.push_back(threads.back().get());
  }
  const bool started = handles.size() == count;
  if (started) ::SetEvent(open.get());
  const auto wait_all = [&] {
    return ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, timeout_ms);
  };
  const bool finished = started && wait_all() == WAIT_OBJECT_0;
  if (!finished) {
    // Stragglers (or, when not all could start, the threads held at the gate) must not
    // outlive the objects they were given.
    for (const HANDLE thread : handles) {
      if (::WaitForSingleObject(thread, 0) == WAIT_TIMEOUT) ::TerminateThread(thread, 1);
    }
    (void)wait_all();
  }
  return finished;
}

}  // namespace qfu::test
