#include "wire/message.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/utf.h"

namespace qfu::wire {

const char* ResultCodeName(ResultCode code) {
  switch (code) {
    case result::kDone:
      return "Done";
    case result::kBadMessage:
      return "BadMessage";
    case result::kAlreadyExists:
      return "AlreadyExists";
    case result::kCannotCarryOut:
      return "CannotCarryOut";
    case result::kNoSuchRequest:
      return "NoSuchRequest";
    case result::kNothingToReport:
      return "NothingToReport";
    case result::kCannotCancel:
      return "CannotCancel";
    default:
      return nullptr;
  }
}

std::uint32_t RequestMessage::U32(std::size_t offset) const noexcept { return ReadU32(bytes_, offset); }
std::uint16_t RequestMessage::U16(std::size_t offset) const noexcept { return ReadU16(bytes_, offset); }

bool IsValidDailyWindow(const DailyWindow& window) noexcept {
  constexpr std::uint16_t kHoursPerDay = 24;
  constexpr std::uint16_t kMinutesPerHour = 60;
  return window.start_hour < kHoursPerDay && window.end_hour < kHoursPerDay &&
         window.start_minute < kMinutesPerHour && window.end_minute < kMinutesPerHour;
}

DailyWindow RequestMessage::install_window() const noexcept {
  return DailyWindow{U16(kWindowStartHourAt), U16(kWindowStartMinuteAt), U16(kWindowEndHourAt),
                     U16(kWindowEndMinuteAt)};
}

LocalDateTime RequestMessage::start_time() const noexcept {
  LocalDateTime start;
  start.year = U16(kStartYearAt);
  start.month = U16(kStartMonthAt);
  start.day = U16(kStartDayAt);
  start.hour = U16(kStartHourAt);
  start.minute = U16(kStartMinuteAt);
  return start;
}

bool HasAcceptableInstallWindow(const RequestMessage& message) noexcept {
  return !message.HasFlag(flags::kInstallWindow) || IsValidDailyWindow(message.install_window());
}

Bytes RequestMessage::request_name_field() const noexcept {
  return Slice(bytes_, kRequestNameAt, kRequestNameSize);
}
Bytes RequestMessage::ui_name_field() const noexcept { return Slice(bytes_, kUiNameAt, kUiNameSize); }
Bytes RequestMessage::software_version_field() const noexcept {
  return Slice(bytes_, kSoftwareVersionAt, kSoftwareVersionSize);
}
std::string_view RequestMessage::request_name() const noexcept { return FieldText(request_name_field()); }
std::string_view RequestMessage::ui_name() const noexcept { return FieldText(ui_name_field()); }
std::string_view RequestMessage::software_version() const noexcept {
  return FieldText(software_version_field());
}

bool PassesFramingCheck(Bytes message) noexcept {
  const std::uint64_t length = message.size();
  if (length < kHeaderSize || length > kMaxMessageSize) return false;
  const std::uint64_t items_offset = ReadU32(message, kItemsOffsetAt);
  const std::uint64_t items_end = ReadU32(message, kItemsEndAt);
  if (items_offset > length || items_end > length) return false;
  if (items_offset == items_end) return true;
  // The items must tile [items offset, items end) exactly. 64-bit positions: an item length
  // near 2^32 cannot wrap around.
  std::uint64_t position = items_offset;
  while (position + kItemHeaderSize < items_end) {
    position += kItemHeaderSize + ReadU32(message, static_cast<std::size_t>(position) + 4);
  }
  return position == items_end;
}

std::optional<Item> FindItem(Bytes message, std::uint32_t type) noexcept {
  const std::uint64_t items_end = std::min<std::uint64_t>(ReadU32(message, kItemsEndAt), message.size());
  std::uint64_t position = ReadU32(message, kItemsOffsetAt);
  while (position + kItemHeaderSize < items_end) {
    const auto at = static_cast<std::size_t>(position);
    const std::uint64_t data_length = ReadU32(message, at + 4);
    const std::uint64_t data_end = position + kItemHeaderSize + data_length;
    if (data_end > items_end) return std::nullopt;
    if (ReadU32(message, at) == type) {
      return Item{type, message.subspan(at + kItemHeaderSize, static_cast<std::size_t>(data_length))};
    }
    position = data_end;
  }
  return std::nullopt;
}

std::optional<WideString> ItemText(Bytes message, std::uint32_t type) {
  const auto item = FindItem(message, type);
  if (!item) return std::nullopt;
  return Utf8ToWide(FieldText(item->data));
}

namespace {

// The value of a hexadecimal digit in either letter case, or -1.
int HexDigitValue(std::uint8_t c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

PackageDigest ReadPackageDigest(Bytes message) noexcept {
  PackageDigest result;
  const auto item = FindItem(message, kPackageDigestItem);
  if (!item) return result;
  result.present = true;
  const Bytes text = item->data;
  if (text.size() != kPackageDigestItemSize || text[kPackageDigestItemSize - 1] != 0) return result;
  for (std::size_t i = 0; i < kSha256Size; ++i) {
    const int high = HexDigitValue(text[2 * i]);
    const int low = HexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return result;
    result.digest[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  result.well_formed = true;
  return result;
}

void StatusRecord::Clear() noexcept {
  std::fill_n(bytes_.begin(), std::min(bytes_.size(), kStatusRecordSize), std::uint8_t{0});
  WriteU32(bytes_, kRecordSizeAt, kStatusRecordSize);
  WriteU32(bytes_, kLengthAt, kStatusRecordSize);
}

std::uint32_t StatusRecord::record_size() const noexcept { return ReadU32(bytes_, kRecordSizeAt); }
std::uint32_t StatusRecord::length() const noexcept { return ReadU32(bytes_, kLengthAt); }
ResultCode StatusRecord::result_code() const noexcept {
  return static_cast<ResultCode>(ReadU32(bytes_, kResultCodeAt));
}
UpdateStatus StatusRecord::update_status() const noexcept {
  return static_cast<UpdateStatus>(ReadU32(bytes_, kUpdateStatusAt));
}
std::uint32_t StatusRecord::system_error_code() const noexcept { return ReadU32(bytes_, kSystemErrorCodeAt); }
std::uint32_t StatusRecord::instance_number() const noexcept {
  return ReadU32(bytes_, kRecordInstanceNumberAt);
}
void StatusRecord::set_length(std::uint32_t value) noexcept { WriteU32(bytes_, kLengthAt, value); }
void StatusRecord::set_result_code(ResultCode value) noexcept {
  WriteU32(bytes_, kResultCodeAt, WireValue(value));
}
void StatusRecord::set_update_status(UpdateStatus value) noexcept {
  WriteU32(bytes_, kUpdateStatusAt, WireValue(value));
}
void StatusRecord::set_system_error_code(std::uint32_t value) noexcept {
  WriteU32(bytes_, kSystemErrorCodeAt, value);
}
void StatusRecord::set_instance_number(std::uint32_t value) noexcept {
  WriteU32(bytes_, kRecordInstanceNumberAt, value);
}
MutableBytes StatusRecord::request_name_field() const noexcept {
  return Slice(bytes_, kRecordRequestNameAt, kRequestNameSize);
}
MutableBytes StatusRecord::ui_name_field() const noexcept {
  return Slice(bytes_, kRecordUiNameAt, kUiNameSize);
}
MutableBytes StatusRecord::software_version_field() const noexcept {
  return Slice(bytes_, kRecordSoftwareVersionAt, kSoftwareVersionSize);
}

void AppendTextItem(MutableBytes reply, std::uint32_t type, WideStringView text) {
  const std::int64_t length = ReadU32(reply, kLengthAt);
  const std::int64_t room =
      static_cast<std::int64_t>(reply.size()) - length - static_cast<std::int64_t>(kItemHeaderSize);
  if (room < 1) return;
  std::string utf8 = WideToUtf8(text);
  utf8.push_back('\0');
  const std::uint32_t item_length =
      utf8.size() <= static_cast<std::uint64_t>(room) ? static_cast<std::uint32_t>(utf8.size()) : 0;
  const auto at = static_cast<std::size_t>(length);
  WriteU32(reply, at, type);
  WriteU32(reply, at + 4, item_length);
  std::memcpy(reply.data() + at + kItemHeaderSize, utf8.data(), item_length);
  WriteU32(reply, kLengthAt, static_cast<std::uint32_t>(length + kItemHeaderSize + item_length));
}

// ---- The request fields the queue worker reads ----

std::uint32_t RequestMessage::postpone_interval_minutes() const noexcept { return U32(kPostponeIntervalAt); }

WideString RequestMessage::package_url() const {
  return ItemText(bytes_, kPackageUrlItem).value_or(WideString{});
}

WideString RequestMessage::installer_arguments() const {
  return ItemText(bytes_, kInstallerArgumentsItem).value_or(WideString{});
}

WideString RequestMessage::prompt_text() const {
  return ItemText(bytes_, kPromptTextItem).value_or(WideString{});
}

void ClearRandomDelay(MutableBytes message) noexcept {
  (void)WriteU32(message, kRandomDelayMinAt, 0);
  (void)WriteU32(message, kRandomDelayMaxAt, 0);
}

}  // namespace qfu::wire
