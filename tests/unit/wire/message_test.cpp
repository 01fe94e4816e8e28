#include "wire/message.h"

#include <gtest/gtest.h>

#include "common/bytes.h"
#include "support/message_bytes.h"
#include "support/test_messages.h"
#include "wire/ui_prompt.h"

namespace qfu::wire {
namespace {

using test::Patched;

TEST(FramingCheck, PassesOnlyItemsThatTileTheirRangeInsideABoundedMessage) {
  const auto url = MessageWriter().TextItem(kPackageUrlItem, "abc").bytes();  // items at 195..207
  const std::string largest(kMaxMessageSize - kHeaderSize - kItemHeaderSize, 'x');
  const struct {
    std::vector<std::uint8_t> bytes;
    bool passes;
  } rows[] = {
      {.bytes = MessageWriter().bytes(), .passes = true},
      {.bytes = MessageWriter().RawItem(kPackageUrlItem, "").bytes(), .passes = false},
      {.bytes = MessageWriter().RawItem(kPromptTextItem, "").TextItem(kPackageUrlItem, "u").bytes(),
       .passes = true},
      {.bytes = Patched(url, kHeaderSize + 4, 0xFFFFFFF8), .passes = false},  // wraps around
      {.bytes = Patched(url, kItemsOffsetAt, 207 + 8), .passes = false},
      {.bytes = Patched(Patched(url, kItemsEndAt, 208), kHeaderSize + 4, 5), .passes = false},
      {.bytes = std::vector<std::uint8_t>(kHeaderSize - 1, 0), .passes = false},
      {.bytes = MessageWriter().RawItem(kPromptTextItem, largest).bytes(), .passes = true},
      {.bytes = MessageWriter().RawItem(kPromptTextItem, largest + "x").bytes(), .passes = false},
      {.bytes = Patched(test::Resized(url, 207 + 7), kItemsEndAt, 207 + 7), .passes = false},
  };
  for (const auto& row : rows) EXPECT_EQ(PassesFramingCheck(row.bytes), row.passes) << &row - rows;
  // An item that claims more than there is is never found, even unframed.
  const auto overrun = MessageWriter().TextItem(kPackageUrlItem, "url").U32(kHeaderSize + 4, 1000);
  EXPECT_FALSE(FindItem(overrun.span(), kPackageUrlItem).has_value());
  const auto raw = MessageWriter().RawItem(kPackageUrlItem, "abc").TextItem(kPromptTextItem, "zzz");
  EXPECT_EQ(ItemText(raw.span(), kPackageUrlItem), WideString(QFU_WIDE("abc")));  // no NUL: to its end
}

TEST(PackageDigest, IsWellFormedOnlyAs64HexCharactersAndANul) {
  const std::string hex = "00112233445566778899aabbccddeeffAABBCCDDEEFF00112233445566778899";
  const struct {
    MessageWriter message;
    bool present, well_formed;
  } rows[] = {
      {.message = MessageWriter(), .present = false, .well_formed = false},
      {.message = MessageWriter().TextItem(kPackageDigestItem, hex), .present = true, .well_formed = true},
      {.message = MessageWriter().RawItem(kPackageDigestItem, hex), .present = true, .well_formed = false},
      {.message = MessageWriter().TextItem(kPackageDigestItem, hex.substr(1)),
       .present = true,
       .well_formed = false},
      {.message = MessageWriter().RawItem(kPackageDigestItem, hex + "x"),
       .present = true,
       .well_formed = false},
      {.message = MessageWriter().TextItem(kPackageDigestItem, "g" + hex.substr(1)),
       .present = true,
       .well_formed = false},
  };
  for (const auto& row : rows) {
    const PackageDigest read = ReadPackageDigest(row.message.span());
    EXPECT_EQ(std::pair(read.present, read.well_formed), std::pair(row.present, row.well_formed))
        << &row - rows;
  }
  const Sha256Digest digest = ReadPackageDigest(rows[1].message.span()).digest;
  EXPECT_EQ(std::pair(digest[0], digest[31]), std::pair(std::uint8_t{0x00}, std::uint8_t{0x99}));
  EXPECT_EQ(digest[16], 0xAA);
}

TEST(UiPrompt, AnswerIsTheReplysFirstFourBytesOrCancel) {
  const std::pair<std::vector<std::uint8_t>, std::uint32_t> rows[] = {
      {{}, ui_reply::kCancel},
      {{6, 0}, ui_reply::kCancel},
      {{6, 0, 0, 0}, ui_reply::kYes},
      {{7, 0, 0, 0, 6, 0, 0, 0}, ui_reply::kNo},
  };
  for (const auto& [reply, answer] : rows) EXPECT_EQ(UiPromptAnswer(reply), answer) << reply.size();
}

}  // namespace
}  // namespace qfu::wire
