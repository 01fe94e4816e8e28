#pragma once
// Hostile messages for the soak tests of the pipes: random bytes, valid messages of every type
// with bytes, offsets and item lengths changed, cut or extended ones, zero-length and
// oversized ones. Drawn from a seeded generator, so that a failing run can be repeated.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qfu::test {

class HostileMessages {
 public:
  explicit HostileMessages(std::uint32_t seed) : random_(seed) {}

  // The next message, and in what a short description of how it was made.
  [[nodiscard]] std::vector<std::uint8_t> Next(std::string& what);

 private:
  [[nodiscard]] std::vector<std::uint8_t> ValidMessage();
  [[nodiscard]] std::uint32_t Draw(std::uint32_t bound) {
    return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(random_);
  }
  [[nodiscard]] std::uint32_t BoundaryValue(std::size_t size);

  std::mt19937 random_;
};

// The seed for a soak run: QFU_SOAK_SEED when set, else one drawn now (the test prints it).
[[nodiscard]] std::uint32_t SoakSeed();

// True when QFU_SOAK is "long": the soak tests then run their long mode.
[[nodiscard]] bool LongSoak();

}  // namespace qfu::test
