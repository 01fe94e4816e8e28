#pragma once
// What the fuzzers share: reading the input as UTF-16 text, and a check that stops the run
// (a crash libFuzzer reports with the input) when an invariant does not hold.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "common/wide.h"

namespace qfu::fuzz {

// The input as little-endian UTF-16 units; an odd last byte is dropped.
inline WideString WideFromBytes(const std::uint8_t* data, std::size_t size) {
  WideString text;
  text.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<WideChar>(data[i] | (data[i + 1] << 8)));
  return text;
}

inline void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace qfu::fuzz

#define QFU_FUZZ_CHECK(condition) ::qfu::fuzz::Check((condition), #condition)
