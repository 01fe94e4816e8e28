#include "wire/message.h"

#include <array>
#include <gtest/gtest.h>

#include "common/bytes.h"
#include "support/message_bytes.h"
#include "support/test_messages.h"
#include "wire/update_status.h"

namespace qfu::wire {
namespace {

using test::Patched;
using test::ReplyBuffer;

TEST(FramingCheck, PassesOnlyItemsThatTileTheirRangeInsideABoundedMessage) {
  const auto url = MessageWriter().TextItem(kPackageUrlItem, "abc").bytes();  // items at 195..207
  const std::string largest(kMaxMessageSize - kHeaderSize - kItemHeaderSize, 'x');
  const std::pair<std::vector<std::uint8_t>, bool> cases[] = {
      {MessageWriter().bytes(), true},                                // no items
      {MessageWriter().RawItem(kPackageUrlItem, "").bytes(), false},  // a single empty item
      {MessageWriter().RawItem(kPromptTextItem, "").TextItem(kPackageUrlItem, "u").bytes(), true},
      {Patched(url, kHeaderSize + 4, 0xFFFFFFF8), false},  // must not wrap around to a passing position
      {Patched(url, kItemsOffsetAt, 207 + 8), false},      // items offset beyond items end
      {Patched(Patched(url, kItemsEndAt, 208), kHeaderSize + 4, 5),
       false},  // items end and item past the message
      {std::vector<std::uint8_t>(kHeaderSize - 1, 0),
       false},  // shorter than a header, whatever its offsets say
      {MessageWriter().RawItem(kPromptTextItem, largest).bytes(), true},  // exactly the largest size
      {MessageWriter().RawItem(kPromptTextItem, largest + "x").bytes(), false},
      {Patched(test::Resized(url, 207 + 7), kItemsEndAt, 207 + 7), false},  // items end inside an item header
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(PassesFramingCheck(cases[i].first), cases[i].second) << i;
}

TEST(FindItem, ReturnsTheFirstOfItsTypeAndNothingThatOverrunsItemsEndOrTheMessage) {
  auto message = MessageWriter().TextItem(kPromptTextItem, "first").TextItem(kPackageUrlItem, "url");
  message.TextItem(kPromptTextItem, "second");
  EXPECT_EQ(FindItem(message.span(), kPromptTextItem)->data.size(), 6u);
  EXPECT_EQ(ItemText(message.span(), kPromptTextItem), WideString(QFU_WIDE("first")));
  EXPECT_FALSE(FindItem(message.span(), kInstallerArgumentsItem).has_value());
  // Messages that never passed the framing check: the item claims more than there is.
  auto overrun = MessageWriter().TextItem(kPackageUrlItem, "url").U32(kHeaderSize + 4, 1000);
  EXPECT_FALSE(FindItem(overrun.span(), kPackageUrlItem).has_value());
  EXPECT_FALSE(FindItem(overrun.U32(kItemsEndAt, 0xFFFFFFFF).span(), kPackageUrlItem).has_value());
  // Text without a NUL is read only to the end of its item.
  const auto raw = MessageWriter().RawItem(kPackageUrlItem, "abc").TextItem(kPromptTextItem, "zzz");
  EXPECT_EQ(ItemText(raw.span(), kPackageUrlItem), WideString(QFU_WIDE("abc")));
}

// Item 6 holds exactly 64 hexadecimal characters of either case and a NUL; anything else is
// present but not well formed.
TEST(PackageDigest, IsWellFormedOnlyAs64HexCharactersAndANul) {
  const std::string hex = "00112233445566778899aabbccddeeffAABBCCDDEEFF00112233445566778899";
  const struct {
    MessageWriter message;
    bool present, well_formed;
  } rows[] = {
      {MessageWriter(), false, false},
      {MessageWriter().TextItem(kPackageDigestItem, hex), true, true},
      {MessageWriter().RawItem(kPackageDigestItem, hex), true, false},             // no NUL
      {MessageWriter().TextItem(kPackageDigestItem, hex.substr(1)), true, false},  // 63 characters
      {MessageWriter().TextItem(kPackageDigestItem, hex + "0"), true, false},      // 65 characters
      {MessageWriter().RawItem(kPackageDigestItem, hex + "x"), true, false},       // 65 bytes, no NUL
      {MessageWriter().TextItem(kPackageDigestItem, "g" + hex.substr(1)), true, false},
      {MessageWriter().TextItem(kPackageDigestItem, hex.substr(0, 63) + "/"), true, false},
  };
  for (const auto& row : rows) {
    const PackageDigest read = ReadPackageDigest(row.message.span());
    EXPECT_EQ(read.present, row.present) << &row - rows;
    EXPECT_EQ(read.well_formed, row.well_formed) << &row - rows;
  }
  const Sha256Digest expected = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA,
                                 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF,
                                 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
  EXPECT_EQ(ReadPackageDigest(rows[1].message.span()).digest, expected);
}

TEST(RequestMessage, InstanceNumberCountsOnlyWithFlag8AndFieldsStayInsideTheBytes) {
  auto message = MessageWriter().Name(std::string(kRequestNameSize, 'n')).U32(kInstanceNumberAt, 26);
  EXPECT_EQ(RequestMessage(message.span()).instance_number(), 0u);
  EXPECT_EQ(RequestMessage(message.AddFlags(flags::kDryRun).span()).instance_number(), 26u);
  EXPECT_EQ(RequestMessage(message.span()).request_name().size(),
            kRequestNameSize);  // no NUL: the whole field
  EXPECT_TRUE(RequestMessage(std::span(message.bytes()).first(10)).request_name().empty());
}

TEST(RequestMessage, InstallWindowIsAcceptableWithoutFlag40OrWithEveryFieldATimeOfDay) {
  struct Case {
    std::uint32_t flags;
    std::uint16_t start_hour, start_minute, end_hour, end_minute;
    bool acceptable;
  };
  const Case cases[] = {
      {flags::kInstallWindow, 23, 59, 0, 0, true},
      {flags::kInstallWindow, 0, 0, 23, 59, true},
      {flags::kInstallWindow, 24, 0, 6, 0, false},
      {flags::kInstallWindow, 22, 60, 6, 0, false},
      {flags::kInstallWindow, 22, 0, 24, 0, false},
      {flags::kInstallWindow, 22, 0, 6, 60, false},
      {0, 99, 99, 99, 99, true},  // the fields count only with the flag
  };
  for (const Case& c : cases) {
    const auto message = test::WindowMessage(c.flags, c.start_hour, c.start_minute, c.end_hour, c.end_minute);
    EXPECT_EQ(HasAcceptableInstallWindow(RequestMessage(message.span())), c.acceptable)
        << c.start_hour << ":" << c.start_minute << "-" << c.end_hour << ":" << c.end_minute;
  }
}

TEST(AppendTextItem, AppendsTextThatFitsAnEmptyItemForTextThatDoesNotAndNothingWithoutRoom) {
  ReplyBuffer reply;
  StatusRecord record = reply.record();
  // Characters, then the reply's length and the item's length after the append; room is 64.
  const std::array<std::size_t, 3> cases[] = {
      {16, kStatusRecordSize + 8 + 17, 17}, {64, kStatusRecordSize + 8, 0}, {63, kReplyCapacity, 64}};
  for (const auto& [characters, length, item_length] : cases) {
    record.Clear();
    AppendTextItem(reply.bytes, kTimeStampItem, WideString(characters, 'x'));
    EXPECT_EQ(record.length(), length) << characters;
    EXPECT_EQ(ReadU32(reply.bytes, kStatusRecordSize), kTimeStampItem);
    EXPECT_EQ(ReadU32(reply.bytes, kStatusRecordSize + 4), item_length) << characters;
    if (item_length > 0) {
      EXPECT_EQ(reply.bytes[kStatusRecordSize + 8 + item_length - 1], 0) << characters;
    }
  }
  AppendTextItem(reply.bytes, kTimeStampItem, QFU_WIDE("y"));  // no room left
  EXPECT_EQ(record.length(), kReplyCapacity);
}

}  // namespace
}  // namespace qfu::wire
