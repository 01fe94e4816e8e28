#include "locale/resource_paths.h"

#include <gtest/gtest.h>
#include <string>

#include "common/utf.h"

namespace qfu::locale {
namespace {

std::string Text(const std::optional<WideString>& text) { return text ? WideToUtf8(*text) : "(none)"; }

TEST(SplitProgramPath, GivesTheFolderAndTheResourceFileName) {
  const WideString long_stem(kMaxResourceFileNameChars - kResourceFileSuffix.size(), QFU_WIDE('n'));
  const struct {
    WideString program_path;
    std::string directory;  // "(none)": no parts
    std::string file_name;
  } cases[] = {
      {QFU_WIDE("C:\\Program Files\\Agent\\qfupdate.exe"), "C:\\Program Files\\Agent\\",
       "qfupdate.resources.dll"},
      {QFU_WIDE("C:\\a.b\\agent.v2.exe"), "C:\\a.b\\", "agent.v2.resources.dll"},  // only the last extension
      {QFU_WIDE("C:\\") + long_stem + QFU_WIDE(".exe"), "C:\\", WideToUtf8(long_stem) + ".resources.dll"},
      {QFU_WIDE("C:\\") + long_stem + QFU_WIDE("n.exe"), "(none)", ""},  // 128 characters
      {QFU_WIDE("C:\\Agent\\"), "(none)", ""},
  };
  for (const auto& c : cases) {
    const auto parts = SplitProgramPath(c.program_path);
    EXPECT_EQ(parts ? WideToUtf8(parts->directory) : "(none)", c.directory) << WideToUtf8(c.program_path);
    EXPECT_EQ(parts ? WideToUtf8(parts->file_name) : "", c.file_name) << WideToUtf8(c.program_path);
  }
}

TEST(ResourceCandidatePath, PutsExactlyOneBackslashBeforeTheLanguageAndRefusesOtherFolders) {
  const WideString file = QFU_WIDE("q.resources.dll");
  // "C:\" + 237 + "\de\" + 15 = 259 units: the longest path that fits.
  const WideString long_location = QFU_WIDE("C:\\") + WideString(237, QFU_WIDE('l'));
  const struct {
    WideString location;
    WideString language;
    std::string path;
  } cases[] = {
      {QFU_WIDE("C:\\Agent"), QFU_WIDE("de-DE"), "C:\\Agent\\de-DE\\q.resources.dll"},
      {long_location, QFU_WIDE("de"), WideToUtf8(long_location) + "\\de\\q.resources.dll"},
      {long_location + QFU_WIDE("l"), QFU_WIDE("de"), "(none)"},
      {QFU_WIDE(""), QFU_WIDE("de"), "(none)"},  // no install location: not the drive's root
      {QFU_WIDE("C:\\Agent"), QFU_WIDE(""), "(none)"},
      {QFU_WIDE("C:\\Agent"), QFU_WIDE("..\\de"), "(none)"},
      {QFU_WIDE("C:\\Agent"), QFU_WIDE("C:de"), "(none)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Text(ResourceCandidatePath(c.location, c.language, file)), c.path)
        << WideToUtf8(c.location) << " " << WideToUtf8(c.language);
  }
}

}  // namespace
}  // namespace qfu::locale
