#include "package/installer_command_line.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/utf.h"

namespace qfu::package {
namespace {

TEST(InstallerCommandLine, QuotesThePathAndAppendsArgumentsAfterASpaceInAnExactBuffer) {
  const struct {
    const char* what;
    WideStringView path, arguments;
    WideStringView expected;
  } cases[] = {
      // 11 + 31 + 1 + 37 + 1 = 81 characters, 82 units with the terminator.
      {"the usual package", QFU_WIDE("C:\\ProgramData\\Quillfern\\X\\client.msi"), QFU_WIDE(""),
       QFU_WIDE("msiexec.exe /l* msi.log /qn /norestart /i \"C:\\ProgramData\\Quillfern\\X\\client.msi\"")},
      {"spaces in the path", QFU_WIDE("C:\\Program Data\\My App\\my client.msi"), QFU_WIDE(""),
       QFU_WIDE("msiexec.exe /l* msi.log /qn /norestart /i \"C:\\Program Data\\My App\\my client.msi\"")},
      {"arguments, unchanged", QFU_WIDE("C:\\Program Data\\My App\\my client.msi"),
       QFU_WIDE("REBOOT=ReallySuppress TARGETDIR=\"C:\\a b\""),
       QFU_WIDE("msiexec.exe /l* msi.log /qn /norestart /i \"C:\\Program Data\\My App\\my client.msi\" "
                "REBOOT=ReallySuppress TARGETDIR=\"C:\\a b\"")},
      {"a single space as arguments", QFU_WIDE("p.msi"), QFU_WIDE(" "),
       QFU_WIDE("msiexec.exe /l* msi.log /qn /norestart /i \"p.msi\"  ")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t size = InstallerCommandLineSize(c.path, c.arguments);
    EXPECT_EQ(size, c.expected.size() + 1);
    std::vector<WideChar> buffer(size, QFU_WIDE('#'));
    ASSERT_TRUE(WriteInstallerCommandLine(c.path, c.arguments, buffer));
    EXPECT_EQ(WideToUtf8(WideStringView(buffer.data())), WideToUtf8(c.expected));
    // One unit short: nothing is written.
    std::vector<WideChar> short_buffer(size - 1, QFU_WIDE('#'));
    EXPECT_FALSE(WriteInstallerCommandLine(c.path, c.arguments, short_buffer));
    EXPECT_EQ(short_buffer.front(), QFU_WIDE('#'));
  }
  EXPECT_EQ(InstallerCommandLineSize(QFU_WIDE("C:\\ProgramData\\Quillfern\\X\\client.msi"), QFU_WIDE("")), 82u);
}

}  // namespace
}  // namespace qfu::package
