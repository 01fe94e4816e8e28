// The manifest built into qfupdate.exe.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "common/handle.h"
#include "support/process.h"

namespace qfu::service {
namespace {

// Without its supportedOS entries GetVersionExW reports 6.2 on every later Windows, and the
// agent would take Windows 10 for an older one.
TEST(ProgramManifest, DeclaresWindows81To11AndRunsAsInvoker) {
  const UniqueModule program(::LoadLibraryExW(test::BuiltProgram(L"qfupdate.exe").c_str(), nullptr,
                                              LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  const HRSRC found = ::FindResourceW(program.get(), CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
  ASSERT_NE(found, nullptr);
  const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(program.get(), found)));
  const std::string manifest(bytes, ::SizeofResource(program.get(), found));
  for (const char* expected : {"<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"",  // 8.1
                               "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"",  // 10 and 11
                               "<requestedExecutionLevel level=\"asInvoker\""}) {
    EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
  }
}

}  // namespace
}  // namespace qfu::service
