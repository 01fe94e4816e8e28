#include "wire/message.h"
#include "wire/pipes.h"
#include "wire/update_status.h"

#include <gtest/gtest.h>

#include <array>

#include "common/bytes.h"
#include "support/test_messages.h"

namespace qfu::wire {
namespace {


TEST(FramingCheck, AcceptsHeaderWithoutItems) {
  EXPECT_TRUE(PassesFramingCheck(wire::MessageWriter().span()));
}

TEST(FramingCheck, RefusesASingleEmptyItemAndAcceptsOneOfLengthOne) {
  EXPECT_FALSE(PassesFramingCheck(wire::MessageWriter().RawItem(kPackageUrlItem, "").span()));
  EXPECT_TRUE(PassesFramingCheck(wire::MessageWriter().RawItem(kPackageUrlItem, "x").span()));
  // Items before the last may be empty.
  EXPECT_TRUE(PassesFramingCheck(wire::MessageWriter().RawItem(kPromptTextItem, "").TextItem(kPackageUrlItem, "u").span()));
}

TEST(FramingCheck, RefusesItemsThatOverrunOrStopShortOfItemsEnd) {
  auto overrun = wire::MessageWriter().TextItem(kPackageUrlItem, "abc");
  overrun.U32(kHeaderSize + 4, 5);  // claims one byte more than there is
  EXPECT_FALSE(PassesFramingCheck(overrun.span()));

  for (std::uint32_t spare = 1; spare < kItemHeaderSize; ++spare) {
    auto short_by = wire::MessageWriter().TextItem(kPackageUrlItem, "abc");
    auto bytes = short_by.bytes();
    bytes.resize(bytes.size() + spare, 0);
    WriteU32(bytes, kItemsEndAt, static_cast<std::uint32_t>(bytes.size()));
    EXPECT_FALSE(PassesFramingCheck(bytes)) << spare;
  }

  // An item length near 2^32 must not wrap the walk around to a passing position.
  auto huge = wire::MessageWriter().TextItem(kPackageUrlItem, "abc");
  huge.U32(kHeaderSize + 4, 0xFFFFFFF8);
  EXPECT_FALSE(PassesFramingCheck(huge.span()));
}

TEST(FramingCheck, RefusesBadOffsetsAndSizes) {
  auto beyond = wire::MessageWriter().TextItem(kPackageUrlItem, "abc");
  beyond.U32(kItemsOffsetAt, ReadU32(beyond.span(), kItemsEndAt) + 8);
  EXPECT_FALSE(PassesFramingCheck(beyond.span()));  // items offset beyond items end

  auto past_message = wire::MessageWriter();
  past_message.U32(kItemsEndAt, kHeaderSize + 1);
  EXPECT_FALSE(PassesFramingCheck(past_message.span()));

  const auto header = wire::MessageWriter().bytes();
  EXPECT_FALSE(PassesFramingCheck(std::span(header).first(kHeaderSize - 1)));  // shorter than its header

  auto largest = wire::MessageWriter().RawItem(kPromptTextItem, std::string(kMaxMessageSize - kHeaderSize - 8, 'x'));
  EXPECT_TRUE(PassesFramingCheck(largest.span()));
  auto oversized = wire::MessageWriter().RawItem(kPromptTextItem, std::string(kMaxMessageSize - kHeaderSize - 7, 'x'));
  EXPECT_FALSE(PassesFramingCheck(oversized.span()));
}

TEST(FindItem, ReturnsTheFirstOfSeveralAndNothingForAMissingType) {
  const auto message = wire::MessageWriter()
                           .TextItem(kPromptTextItem, "first")
                           .TextItem(kPackageUrlItem, "url")
                           .TextItem(kPromptTextItem, "second");
  const auto item = FindItem(message.span(), kPromptTextItem);
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->data.size(), 6u);
  EXPECT_EQ(ItemText(message.span(), kPromptTextItem), WideString(QFU_WIDE("first")));
  EXPECT_FALSE(FindItem(message.span(), kInstallerArgumentsItem).has_value());
}

TEST(FindItem, NeverReadsPastItemsEndOrTheMessage) {
  auto message = wire::MessageWriter().TextItem(kPackageUrlItem, "url");
  message.U32(kHeaderSize + 4, 1000);  // an unchecked message whose item overruns
  EXPECT_FALSE(FindItem(message.span(), kPackageUrlItem).has_value());
  message.U32(kItemsEndAt, 0xFFFFFFFF);
  EXPECT_FALSE(FindItem(message.span(), kPackageUrlItem).has_value());
}

TEST(ItemText, ReadsTextWithoutNulOnlyToTheEndOfTheItem) {
  const auto message = wire::MessageWriter().RawItem(kPackageUrlItem, "abc").TextItem(kPromptTextItem, "zzz");
  EXPECT_EQ(ItemText(message.span(), kPackageUrlItem), WideString(QFU_WIDE("abc")));
}

TEST(RequestMessage, ReadsFieldsAtTheirOffsets) {
  auto builder = test::SubmitMessage("Client");
  builder.U32(kProductKindAt, product_kind::kLegacyClient).U16(kStartYearAt, 2026).U32(kInstanceNumberAt, 26);
  RequestMessage message(builder.span());
  EXPECT_EQ(message.type(), kSubmitRequest);
  EXPECT_EQ(message.product_kind(), 2u);
  EXPECT_EQ(message.U16(kStartYearAt), 2026);
  EXPECT_EQ(message.request_name(), "Client");
  EXPECT_EQ(message.software_version(), "1.2.3.4");
  EXPECT_EQ(message.instance_number(), 0u);  // present only with the dry-run flag
  builder.Flags(flags::kDryRun);
  EXPECT_EQ(RequestMessage(builder.span()).instance_number(), 26u);
}

TEST(RequestMessage, NameFieldWithoutNulIsReadToTheEndOfTheField) {
  auto builder = wire::MessageWriter().Name(std::string(37, 'n'));
  EXPECT_EQ(RequestMessage(builder.span()).request_name().size(), 37u);
  const std::array<std::uint8_t, 10> truncated{};
  EXPECT_TRUE(RequestMessage(truncated).request_name().empty());
}

TEST(AppendTextItem, AppendsTextThatFits) {
  std::array<std::uint8_t, kReplyCapacity> reply{};
  StatusRecord record(reply);
  record.Clear();
  AppendTextItem(reply, kTimeStampItem, QFU_WIDE("12/06/2026 11:09"));
  EXPECT_EQ(record.length(), kStatusRecordSize + 8 + 17);
  EXPECT_EQ(ReadU32(reply, kStatusRecordSize), kTimeStampItem);
  EXPECT_EQ(ReadU32(reply, kStatusRecordSize + 4), 17u);
  EXPECT_EQ(reply[kStatusRecordSize + 8 + 16], 0);
}

TEST(AppendTextItem, WritesAnEmptyItemForTextThatDoesNotFit) {
  std::array<std::uint8_t, kReplyCapacity> reply{};
  StatusRecord record(reply);
  record.Clear();
  AppendTextItem(reply, kTimeStampItem, WideString(64, 'x'));  // 65 bytes with the NUL; room is 64
  EXPECT_EQ(record.length(), 167u);
  EXPECT_EQ(ReadU32(reply, kStatusRecordSize + 4), 0u);

  record.Clear();
  AppendTextItem(reply, kTimeStampItem, WideString(63, 'x'));  // exactly 64 bytes
  EXPECT_EQ(record.length(), kReplyCapacity);
  AppendTextItem(reply, kTimeStampItem, QFU_WIDE("y"));  // no room left: nothing appended
  EXPECT_EQ(record.length(), kReplyCapacity);
}

TEST(StatusRecord, ClearSetsSizeAndLengthAndFieldsLandAtTheirOffsets) {
  std::array<std::uint8_t, kStatusRecordSize> bytes;
  bytes.fill(0xAA);
  StatusRecord record(bytes);
  record.Clear();
  record.set_update_status(0x8000000B);
  record.set_instance_number(26);
  EXPECT_EQ(ReadU32(bytes, 0), 159u);
  EXPECT_EQ(ReadU32(bytes, 4), 159u);
  EXPECT_EQ(ReadU32(bytes, 12), 0x8000000Bu);
  EXPECT_EQ(ReadU32(bytes, 20), 26u);
  EXPECT_EQ(bytes[158], 0);
  EXPECT_EQ(record.request_name_field().data(), bytes.data() + 24);
  EXPECT_EQ(record.software_version_field().size(), 18u);
}

TEST(InfoPipe, TakesQueriesAndTheReleaseOfPostponedRequestsOnly) {
  for (std::uint32_t type = 0; type < 10; ++type) {
    const bool taken = type == 3 || type == 4 || type == 6 || type == 7;
    EXPECT_EQ(IsInfoPipeMessageType(type), taken) << "type " << type;
  }
}

TEST(UpdateStatus, FinalAndResubmissionRules) {
  struct Case {
    std::uint32_t status;
    bool final_status, blocks_resubmission;
  };
  for (const Case& c : {Case{kCompleted, true, true}, Case{kCancelled, true, false}, Case{0x80000000, true, false},
                        Case{kConsentTimedOut, true, false}, Case{kInstallFailed, true, false},
                        Case{kDownloadRetry, false, true}, Case{0, false, true}, Case{kQueued, false, true},
                        Case{kPostponed, false, true}, Case{0x7FFFFFFF, false, true}}) {
    EXPECT_EQ(IsFinalStatus(c.status), c.final_status) << std::hex << c.status;
    EXPECT_EQ(BlocksResubmission(c.status), c.blocks_resubmission) << std::hex << c.status;
  }
}

}  // namespace
}  // namespace qfu::wire
