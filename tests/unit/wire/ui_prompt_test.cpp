#include "wire/ui_prompt.h"

#include <gtest/gtest.h>
#include <vector>

#include "common/bytes.h"

namespace qfu::wire {
namespace {

TEST(UiPrompt, CutsTextAndCaptionToTheirFieldsWithoutSplittingAPair) {
  const WideString pair = {static_cast<WideChar>(0xD83D), static_cast<WideChar>(0xDE00)};  // U+1F600
  struct Case {
    const char* what;
    WideString text, caption;
    std::size_t text_units, caption_units;
  };
  const Case cases[] = {
      {"fits", WideString(511, 'a'), WideString(127, 'c'), 511, 127},
      {"longer: cut", WideString(600, 'a'), WideString(200, 'c'), 511, 127},
      {"a pair across the cut", WideString(510, 'a') + pair, WideString(126, 'c') + pair, 510, 126},
      {"a pair inside", WideString(509, 'a') + pair, pair, 511, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const UiPromptMessage message = BuildUiPrompt(c.text, c.caption, 0x50104, 45000);
    const auto prompt = ParseUiPrompt(message);
    ASSERT_TRUE(prompt.has_value());
    EXPECT_EQ(prompt->text, c.text.substr(0, c.text_units));
    EXPECT_EQ(prompt->caption, c.caption.substr(0, c.caption_units));
    EXPECT_EQ(prompt->style, 0x50104u);
    EXPECT_EQ(prompt->timeout_ms, 45000u);
    EXPECT_EQ(ReadU16(message, kUiPromptTextAt + 2 * 511), 0);  // the text's NUL, whatever its length
  }
}

TEST(UiPrompt, ReadsOnlyWholePromptsAndNeverPastAField) {
  std::vector<std::uint8_t> bytes(kUiPromptSize, 'A');  // no NUL anywhere
  const auto prompt = ParseUiPrompt(bytes);
  ASSERT_TRUE(prompt.has_value());
  EXPECT_EQ(prompt->text.size(), kUiPromptTextUnits);
  EXPECT_EQ(prompt->caption.size(), kUiPromptCaptionUnits);
  for (const std::size_t size : {std::size_t{0}, kUiPromptSize - 1, kUiPromptSize + 1}) {
    EXPECT_FALSE(ParseUiPrompt(std::vector<std::uint8_t>(size, 0)).has_value()) << size;
  }
}

TEST(UiPrompt, AnswerIsTheReplysFirstFourBytesOrCancel) {
  const std::pair<std::vector<std::uint8_t>, std::uint32_t> cases[] = {
      {{}, ui_reply::kCancel},
      {{6, 0}, ui_reply::kCancel},
      {{6, 0, 0, 0}, ui_reply::kYes},
      {{0x00, 0x7D, 0, 0}, ui_reply::kTimedOut},
      {{7, 0, 0, 0, 6, 0, 0, 0}, ui_reply::kNo},  // a longer reply still counts
  };
  for (const auto& [reply, answer] : cases) EXPECT_EQ(UiPromptAnswer(reply), answer) << reply.size();
}

}  // namespace
}  // namespace qfu::wire
