#include "package/installer_command_line.h"

#include <gtest/gtest.h>
#include <vector>

#include "common/utf.h"

namespace qfu::package {
namespace {

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
