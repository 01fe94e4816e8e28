#pragma once
// What every benchmark program prints its figures with: a performance-counter stopwatch, the
// median and 99th percentile of samples, the private bytes of a process,
// and the one line per figure that ends in "ratio X.XX" (ours against its baseline).
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/handle.h"

namespace qfu::bench {

// Seconds since the object was made (or restarted), from the performance counter.
class Stopwatch {
 public:
  Stopwatch() {
    ::QueryPerformanceFrequency(&frequency_);
    Restart();
  }
  void Restart() { ::QueryPerformanceCounter(&start_); }
  [[nodiscard]] double Seconds() const {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency_.QuadPart);
  }
  [[nodiscard]] double Microseconds() const { return Seconds() * 1e6; }

 private:
  LARGE_INTEGER frequency_;
  LARGE_INTEGER start_;
};

struct Figures {
  double median = 0;
  double p99 = 0;
};

// The median and the 99th percentile (nearest rank) of the samples; zeros when there are none.
inline Figures FiguresOf(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(samples.size())));
  return {samples[samples.size() / 2], samples[std::min(rank == 0 ? 0 : rank - 1, samples.size() - 1)]};
}

// The ratio of ours against the baseline; 0 when the baseline is 0.
inline double Ratio(double ours, double baseline) { return baseline > 0 ? ours / baseline : 0; }

// Prints one figure: the text (printf format) and " ratio X.XX" on one line.
inline void PrintFigure(double ratio, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
  std::printf(": ratio %.2f\n", ratio);
  std::fflush(stdout);
}

// The private bytes of the process: PrivateUsage, or where that reads 0 (Wine 8 leaves it
// unset) PagefileUsage, the same commit charge on Windows; 0 when neither can be read.
inline std::uint64_t PrivateBytes(DWORD process_id) {
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  if (!process) return 0;
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (!::GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters))) {
    return 0;
  }
  return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

}  // namespace qfu::bench
