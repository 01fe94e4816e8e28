#include "support/hostile_messages.h"

#include <windows.h>

#include <array>
#include <cstdlib>

#include "common/bytes.h"
#include "support/pipe_harness.h"
#include "support/test_messages.h"
#include "wire/message.h"

namespace qfu::test {
namespace {

constexpr std::size_t kRandomMessageBytes = 600;
constexpr std::uint32_t kMostByteFlips = 8;

}  // namespace

// A value at an edge: of the header, of the message's own size, of the size cap, of the sign.
std::uint32_t HostileMessages::BoundaryValue(std::size_t size) {
  const std::int64_t edge = std::array<std::int64_t, 4>{0, wire::kHeaderSize, static_cast<std::int64_t>(size),
                                                        wire::kMaxMessageSize}[Draw(4)];
  const std::uint32_t values[] = {static_cast<std::uint32_t>(edge + Draw(3)) - 1, 0x7FFFFFFF, 0x80000000,
                                  static_cast<std::uint32_t>(random_())};
  return values[Draw(std::size(values))];
}

std::vector<std::uint8_t> HostileMessages::ValidMessage() {
  const std::string name = "hostile" + std::to_string(Draw(8));
  switch (Draw(7)) {
    case 0:
      return SubmitMessage(name, "http://127.0.0.1:9/p.msi", "/qn")
          .Flags(wire::RequestFlags{random_()})
          .bytes();
    case 1:
      return Query(name).bytes();
    case 2:
      return Enumerate(Draw(20)).bytes();
    case 3:
      return Cancel(Draw(4) == 0 ? "*" : name).bytes();
    case 4:
      return Query(name, wire::kQueryPostponed).bytes();
    case 5:
      return Query(name, wire::kInstallPostponedNow).bytes();
    default:
      return wire::MessageWriter(wire::kSetUserAgent)
          .TextItem(wire::kUserAgentItem, "Hostile/" + name)
          .bytes();
  }
}

std::vector<std::uint8_t> HostileMessages::Next(std::string& what) {
  switch (Draw(10)) {
    case 0: {
      what = "random bytes";
      std::vector<std::uint8_t> bytes(Draw(kRandomMessageBytes));
      for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random_());
      return bytes;
    }
    case 1: {
      what = Draw(2) == 0 ? "zero-length" : "oversized";
      if (what == "zero-length") return {};
      return std::vector<std::uint8_t>(wire::kMaxMessageSize + 1 + Draw(4096), 0x41);
    }
    case 2: {
      what = "cut or extended";
      std::vector<std::uint8_t> bytes = ValidMessage();
      bytes.resize(Draw(static_cast<std::uint32_t>(bytes.size() * 2)), static_cast<std::uint8_t>(random_()));
      return bytes;
    }
    case 3:
    case 4:
    case 5: {
      what = "offsets and item lengths changed";
      std::vector<std::uint8_t> bytes = ValidMessage();
      // The items' start and end, the message type, and the first item's type and length.
      const std::size_t fields[] = {wire::kItemsOffsetAt, wire::kItemsEndAt, wire::kMessageTypeAt,
                                    wire::kHeaderSize, wire::kHeaderSize + 4};
      for (std::uint32_t n = 1 + Draw(2); n > 0; --n)
        (void)WriteU32(bytes, fields[Draw(std::size(fields))], BoundaryValue(bytes.size()));
      return bytes;
    }
    case 6: {
      what = "valid";
      return ValidMessage();
    }
    default: {
      what = "bytes flipped";
      std::vector<std::uint8_t> bytes = ValidMessage();
      for (std::uint32_t n = 1 + Draw(kMostByteFlips); n > 0; --n) {
        bytes[Draw(static_cast<std::uint32_t>(bytes.size()))] ^= static_cast<std::uint8_t>(1 + Draw(255));
      }
      return bytes;
    }
  }
}

std::uint32_t SoakSeed() {
  if (const char* text = std::getenv("QFU_SOAK_SEED"); text != nullptr && *text != '\0') {
    return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 0));
  }
  return static_cast<std::uint32_t>(::GetTickCount64() ^ ::GetCurrentProcessId());
}

bool LongSoak() {
  const char* mode = std::getenv("QFU_SOAK");
  return mode != nullptr && std::string(mode) == "long";
}

}  // namespace qfu::test
