// The application manifest built into qfupdate.exe: without its supportedOS entries,
// GetVersionExW reports 6.2 on every later Windows and the newer-Windows flag stays 0.
#include <gtest/gtest.h>
#include <string>

#include "support/program_resources.h"

namespace qfu::service {
namespace {

TEST(ProgramManifest, DeclaresWindows81To11AndRunsAsInvoker) {
  const std::string manifest = test::LowerCaseManifest(L"qfupdate.exe");
  for (const char* id : {"{1f676c76-80e1-4239-95bb-83d0f6d0da78}",     // Windows 8.1
                         "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {  // Windows 10 and 11
    EXPECT_NE(manifest.find(std::string("<supportedos id=\"") + id + "\""), std::string::npos) << id;
  }
  EXPECT_NE(manifest.find("<requestedexecutionlevel level=\"asinvoker\""), std::string::npos);
}

}  // namespace
}  // namespace qfu::service
