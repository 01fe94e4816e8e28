#pragma once
// The wire format of every pipe: the request message (a 195-byte header and a chain of
// typed items) and the 159-byte status record that heads every reply and is the whole of
// every status notification. All integers are little-endian; fields are read by offset
// with bounds checks, never by overlaying a struct on untrusted bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "common/local_time.h"
#include "common/wide.h"
#include "wire/update_status.h"

namespace qfu::wire {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// ---- Request message header ----
inline constexpr std::size_t kHeaderSize = 195;
// Largest message the pipe servers accept; anything longer is refused before allocation.
inline constexpr std::size_t kMaxMessageSize = 65536;

inline constexpr std::size_t kItemsOffsetAt = 0;
inline constexpr std::size_t kItemsEndAt = 4;
inline constexpr std::size_t kMessageTypeAt = 8;
inline constexpr std::size_t kRequestFlagsAt = 12;  // the enumeration index in message type 4
inline constexpr std::size_t kProductKindAt = 16;
inline constexpr std::size_t kRandomDelayMinAt = 20;
inline constexpr std::size_t kRandomDelayMaxAt = 24;
inline constexpr std::size_t kStartYearAt = 28;
inline constexpr std::size_t kStartMonthAt = 30;
inline constexpr std::size_t kStartDayAt = 32;
inline constexpr std::size_t kStartHourAt = 34;
inline constexpr std::size_t kStartMinuteAt = 36;
inline constexpr std::size_t kReservedAt = 38;
inline constexpr std::size_t kWindowStartHourAt = 40;
inline constexpr std::size_t kWindowStartMinuteAt = 42;
inline constexpr std::size_t kWindowEndHourAt = 44;
inline constexpr std::size_t kWindowEndMinuteAt = 46;
inline constexpr std::size_t kPostponeIntervalAt = 48;
inline constexpr std::size_t kDeadlineAt = 52;
inline constexpr std::size_t kInstanceNumberAt = 56;
inline constexpr std::size_t kRequestNameAt = 60;
inline constexpr std::size_t kRequestNameSize = 37;
inline constexpr std::size_t kUiNameAt = 97;
inline constexpr std::size_t kUiNameSize = 80;
inline constexpr std::size_t kSoftwareVersionAt = 177;
inline constexpr std::size_t kSoftwareVersionSize = 18;
static_assert(kSoftwareVersionAt + kSoftwareVersionSize == kHeaderSize);

enum MessageType : std::uint32_t {
  kSetUserAgent = 1,
  kSubmitRequest = 2,
  kQueryRequest = 3,
  kEnumerateRequests = 4,
  kCancelRequest = 5,
  kQueryPostponed = 6,
  kInstallPostponedNow = 7,
};

// Request flags (header offset 12): a set of the bits in namespace flags. Set operations only;
// WireValue gives the field's bytes.
enum class RequestFlags : std::uint32_t {};
[[nodiscard]] constexpr std::uint32_t WireValue(RequestFlags set) noexcept {
  return static_cast<std::uint32_t>(set);
}
[[nodiscard]] constexpr RequestFlags operator|(RequestFlags a, RequestFlags b) noexcept {
  return RequestFlags{WireValue(a) | WireValue(b)};
}
[[nodiscard]] constexpr RequestFlags operator&(RequestFlags a, RequestFlags b) noexcept {
  return RequestFlags{WireValue(a) & WireValue(b)};
}
constexpr RequestFlags& operator|=(RequestFlags& a, RequestFlags b) noexcept { return a = a | b; }
// True when the set holds any flag.
[[nodiscard]] constexpr bool Any(RequestFlags set) noexcept { return WireValue(set) != 0; }

namespace flags {
inline constexpr RequestFlags kNoPrompts{0x1};
inline constexpr RequestFlags kNoDownloadOnPopType3{0x2};
inline constexpr RequestFlags kDownloadWhenDisconnected{0x4};  // also: no random delay
inline constexpr RequestFlags kDryRun{0x8};                    // also: instance number present
inline constexpr RequestFlags kStartTime{0x10};
inline constexpr RequestFlags kForceInstall{0x20};
inline constexpr RequestFlags kInstallWindow{0x40};
inline constexpr RequestFlags kAllowPopType1{0x80};
inline constexpr RequestFlags kAllowPopType2{0x100};
inline constexpr RequestFlags kAllowPopType3{0x200};
inline constexpr RequestFlags kNoInstallWhileLoggedOn{0x400};
inline constexpr RequestFlags kSkipPublisherCheck{0x800};  // with product kind 9999
inline constexpr RequestFlags kSilentMask = kNoPrompts | kNoInstallWhileLoggedOn;
inline constexpr RequestFlags kAllowedPopTypesMask = kAllowPopType1 | kAllowPopType2 | kAllowPopType3;
}  // namespace flags

namespace product_kind {
inline constexpr std::uint32_t kCurrentClient = 1;
inline constexpr std::uint32_t kLegacyClient = 2;
inline constexpr std::uint32_t kAnyPublisher = 9999;  // with flag 0x800: no publisher-name test
}  // namespace product_kind

enum ItemType : std::uint32_t {
  kUserAgentItem = 1,
  kPackageUrlItem = 2,
  kInstallerArgumentsItem = 3,
  kPromptTextItem = 4,
  kTimeStampItem = 5,
  kPackageDigestItem = 6,  // optional: the package's SHA-256 as 64 hexadecimal characters and a NUL
};
inline constexpr std::size_t kItemHeaderSize = 8;  // item type, item length

// Result codes of a reply (status record offset 8).
enum class ResultCode : std::uint32_t {
  kDone = 0,
  kBadMessage = 0x80000001,
  kAlreadyExists = 0x80000002,
  kCannotCarryOut = 0x80000003,
  kNoSuchRequest = 0x80000004,
  kNothingToReport = 0x80000005,
  kCannotCancel = 0x80000006,
};
namespace result {
using enum ResultCode;
}  // namespace result

// The result code as carried at status record offset 8.
[[nodiscard]] constexpr std::uint32_t WireValue(ResultCode code) noexcept {
  return static_cast<std::uint32_t>(code);
}

// Returns the name of a result code ("Done", "BadMessage", ...), or nullptr when unknown.
[[nodiscard]] const char* ResultCodeName(ResultCode code);

// Win32 error a pipe server answers for a message that fails the framing check
// (ERROR_INVALID_DATA).
inline constexpr std::uint32_t kFramingErrorCode = 13;

// ---- Status record ----
inline constexpr std::size_t kStatusRecordSize = 159;
inline constexpr std::size_t kReplyCapacity = 231;  // a status record and one item of <= 64 bytes

inline constexpr std::size_t kRecordSizeAt = 0;
inline constexpr std::size_t kLengthAt = 4;
inline constexpr std::size_t kResultCodeAt = 8;
inline constexpr std::size_t kUpdateStatusAt = 12;
inline constexpr std::size_t kSystemErrorCodeAt = 16;
inline constexpr std::size_t kRecordInstanceNumberAt = 20;
inline constexpr std::size_t kRecordRequestNameAt = 24;
inline constexpr std::size_t kRecordUiNameAt = 61;
inline constexpr std::size_t kRecordSoftwareVersionAt = 141;
static_assert(kRecordSoftwareVersionAt + kSoftwareVersionSize == kStatusRecordSize);

// A daily install window: its start and end as local wall-clock hours and minutes.
struct DailyWindow {
  std::uint16_t start_hour = 0;
  std::uint16_t start_minute = 0;
  std::uint16_t end_hour = 0;
  std::uint16_t end_minute = 0;
};

// True when both ends name a time of day: hours below 24, minutes below 60.
[[nodiscard]] bool IsValidDailyWindow(const DailyWindow& window) noexcept;

// A read-only view of a request message. Every accessor is bounds-checked: a field that
// lies outside the bytes reads as 0 or as an empty span.
class RequestMessage {
 public:
  explicit RequestMessage(Bytes bytes) noexcept : bytes_(bytes) {}

  [[nodiscard]] Bytes bytes() const noexcept { return bytes_; }
  [[nodiscard]] std::uint32_t U32(std::size_t offset) const noexcept;
  [[nodiscard]] std::uint16_t U16(std::size_t offset) const noexcept;

  [[nodiscard]] std::uint32_t items_offset() const noexcept { return U32(kItemsOffsetAt); }
  [[nodiscard]] std::uint32_t items_end() const noexcept { return U32(kItemsEndAt); }
  [[nodiscard]] std::uint32_t type() const noexcept { return U32(kMessageTypeAt); }
  [[nodiscard]] RequestFlags flags() const noexcept { return RequestFlags{U32(kRequestFlagsAt)}; }
  // Message type 4 carries the enumeration index in the flags field.
  [[nodiscard]] std::uint32_t enumeration_index() const noexcept { return U32(kRequestFlagsAt); }
  [[nodiscard]] std::uint32_t product_kind() const noexcept { return U32(kProductKindAt); }
  [[nodiscard]] bool HasFlag(RequestFlags flag) const noexcept { return Any(flags() & flag); }
  // The instance number that identifies the request: the header's only with flag 0x8.
  [[nodiscard]] std::uint32_t instance_number() const noexcept {
    return HasFlag(flags::kDryRun) ? U32(kInstanceNumberAt) : 0;
  }
  // The window fields; they count only with flag 0x40.
  [[nodiscard]] DailyWindow install_window() const noexcept;
  // What submit schedules by: the start time (its date and time fields; counts only with flag
  // 0x10), the random delay's bounds and the deadline, in minutes.
  [[nodiscard]] LocalDateTime start_time() const noexcept;
  [[nodiscard]] std::uint32_t random_delay_min_minutes() const noexcept { return U32(kRandomDelayMinAt); }
  [[nodiscard]] std::uint32_t random_delay_max_minutes() const noexcept { return U32(kRandomDelayMaxAt); }
  [[nodiscard]] std::uint32_t deadline_minutes() const noexcept { return U32(kDeadlineAt); }
  // The raw 37-byte request name field (empty when the message is shorter than its header).
  [[nodiscard]] Bytes request_name_field() const noexcept;
  [[nodiscard]] Bytes ui_name_field() const noexcept;
  [[nodiscard]] Bytes software_version_field() const noexcept;
  // The field texts, up to their NUL or the end of their field.
  [[nodiscard]] std::string_view request_name() const noexcept;
  [[nodiscard]] std::string_view ui_name() const noexcept;
  [[nodiscard]] std::string_view software_version() const noexcept;

  // ---- The request fields the queue worker reads ----
  // The postpone interval in minutes (0: the default interval).
  [[nodiscard]] std::uint32_t postpone_interval_minutes() const noexcept;
  // The texts of the package URL, installer arguments and prompt text items, up to their NUL;
  // empty when the item is absent.
  [[nodiscard]] WideString package_url() const;
  [[nodiscard]] WideString installer_arguments() const;
  [[nodiscard]] WideString prompt_text() const;

 private:
  Bytes bytes_;
};

// Clears the random delay bounds of a stored request message, so that a request resumed at
// start-up is not delayed again. A message too short for them is left as it is.
void ClearRandomDelay(MutableBytes message) noexcept;

// True when the message may be dispatched: at least its header, at most kMaxMessageSize
// bytes, item offsets inside it, and items that tile [items offset, items end) exactly.
// A refused message is answered with kFramingErrorCode.
[[nodiscard]] bool PassesFramingCheck(Bytes message) noexcept;

// True when submit may store the message's install window: flag 0x40 is clear, or the
// window is valid. A refused one is answered with result::kBadMessage.
[[nodiscard]] bool HasAcceptableInstallWindow(const RequestMessage& message) noexcept;

struct Item {
  std::uint32_t type = 0;
  Bytes data;
};

// Returns the first item of that type, or nothing. The walk never leaves the message: an
// item whose data would run past items end or the message ends it.
[[nodiscard]] std::optional<Item> FindItem(Bytes message, std::uint32_t type) noexcept;

// Returns the UTF-16 text of the first item of that type (up to its NUL or the end of the
// item), or nothing when there is no such item.
[[nodiscard]] std::optional<WideString> ItemText(Bytes message, std::uint32_t type);

// ---- Package digest item (type 6) ----
inline constexpr std::size_t kSha256Size = 32;
inline constexpr std::size_t kPackageDigestItemSize = 2 * kSha256Size + 1;  // 65: hex text and its NUL
using Sha256Digest = std::array<std::uint8_t, kSha256Size>;

// What a message says about its package digest.
struct PackageDigest {
  bool present = false;      // the message holds an item of type 6
  bool well_formed = false;  // that item is exactly 64 hexadecimal characters (either case) and a NUL
  Sha256Digest digest{};     // the digest, when well formed
};

// Reads the first item of type 6. Submit refuses a message whose item is present but not
// well formed with result::kBadMessage.
[[nodiscard]] PackageDigest ReadPackageDigest(Bytes message) noexcept;

// A view of a status record at the head of a buffer of at least kStatusRecordSize bytes
// (a reply buffer of kReplyCapacity bytes, or a notification).
class StatusRecord {
 public:
  explicit StatusRecord(MutableBytes bytes) noexcept : bytes_(bytes) {}

  [[nodiscard]] MutableBytes bytes() const noexcept { return bytes_; }
  // Zeroes the record's 159 bytes and sets its record size and length to 159.
  void Clear() noexcept;

  [[nodiscard]] std::uint32_t record_size() const noexcept;
  [[nodiscard]] std::uint32_t length() const noexcept;
  [[nodiscard]] ResultCode result_code() const noexcept;
  [[nodiscard]] UpdateStatus update_status() const noexcept;
  [[nodiscard]] std::uint32_t system_error_code() const noexcept;
  [[nodiscard]] std::uint32_t instance_number() const noexcept;
  void set_length(std::uint32_t value) noexcept;
  void set_result_code(ResultCode value) noexcept;
  void set_update_status(UpdateStatus value) noexcept;
  void set_system_error_code(std::uint32_t value) noexcept;
  void set_instance_number(std::uint32_t value) noexcept;

  [[nodiscard]] MutableBytes request_name_field() const noexcept;
  [[nodiscard]] MutableBytes ui_name_field() const noexcept;
  [[nodiscard]] MutableBytes software_version_field() const noexcept;

 private:
  MutableBytes bytes_;
};

// Appends an item of that type holding the text as UTF-8 with its NUL at the reply's
// length: room = capacity - length - 8; nothing is appended when room < 1; the item
// length is 0 when the text does not fit in room. The reply's length grows by 8 + the
// item length. The capacity is the size of the reply span.
void AppendTextItem(MutableBytes reply, std::uint32_t type, WideStringView text);

}  // namespace qfu::wire
