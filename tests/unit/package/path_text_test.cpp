#include "package/path_text.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/utf.h"
#include "package/installer_command_line.h"

namespace qfu::package {
namespace {

// SplitPath: through the backslash forms of this table.
TEST(NormalizeProgramDataSubdirectory, PutsBackslashesRightAndRefusesWhatCouldLeaveProgramData) {
  // Up to 259 units after normalising: the leading backslash counts.
  const WideString longest = QFU_WIDE("\\") + WideString(258, QFU_WIDE('a'));
  const struct {
    WideString override_text;
    std::string normalized;  // empty: refused, the default stays
  } cases[] = {
      {QFU_WIDE("Vendor\\Agent"), "\\Vendor\\Agent"},
      {QFU_WIDE("\\\\server\\\\share\\"), "\\server\\share"},  // below ProgramData, not a share
      {QFU_WIDE("\\My Vendor\\Agent 2.0"), "\\My Vendor\\Agent 2.0"},
      {QFU_WIDE("\\\\"), ""},
      {QFU_WIDE("\\Vendor\\..\\..\\Windows"), ""},
      {QFU_WIDE("\\Agent."), ""},  // Windows drops trailing dots and spaces
      {QFU_WIDE("\\Agent "), ""},
      {QFU_WIDE("C:\\Windows"), ""},
      {QFU_WIDE("\\Vendor/../../Windows"), ""},
      {QFU_WIDE("\\Age\tnt"), ""},
      {longest, WideToUtf8(longest)},
      {longest + QFU_WIDE("a"), ""},
      {WideString(259, QFU_WIDE('a')), ""},
  };
  for (const auto& c : cases) {
    const auto normalized = NormalizeProgramDataSubdirectory(c.override_text);
    EXPECT_EQ(normalized ? WideToUtf8(*normalized) : "", c.normalized) << WideToUtf8(c.override_text);
  }
}

TEST(InstallerCommandLine, QuotesThePathAndAppendsArgumentsAfterASpaceInAnExactBuffer) {
  const struct {
    WideStringView path, arguments;
    WideStringView expected;
  } cases[] = {
      {QFU_WIDE("C:\\Program Data\\my client.msi"), QFU_WIDE(""),
       QFU_WIDE("msiexec.exe /l* msi.log /qn /norestart /i \"C:\\Program Data\\my client.msi\"")},
      {QFU_WIDE("p.msi"), QFU_WIDE("REBOOT=ReallySuppress TARGETDIR=\"C:\\a b\""),
       QFU_WIDE("msiexec.exe /l* msi.log /qn /norestart /i \"p.msi\" REBOOT=ReallySuppress TARGETDIR=\"C:\\a "
                "b\"")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.expected));
    const std::size_t size = InstallerCommandLineSize(c.path, c.arguments);
    EXPECT_EQ(size, c.expected.size() + 1);
    std::vector<WideChar> buffer(size, QFU_WIDE('#'));
    ASSERT_TRUE(WriteInstallerCommandLine(c.path, c.arguments, buffer));
    EXPECT_EQ(WideToUtf8(WideStringView(buffer.data())), WideToUtf8(c.expected));
    std::vector<WideChar> short_buffer(size - 1, QFU_WIDE('#'));  // one unit short: nothing is written
    EXPECT_FALSE(WriteInstallerCommandLine(c.path, c.arguments, short_buffer));
    EXPECT_EQ(short_buffer.front(), QFU_WIDE('#'));
  }
}

}  // namespace
}  // namespace qfu::package
