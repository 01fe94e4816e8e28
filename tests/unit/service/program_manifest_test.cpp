// The application manifest built into qfupdate.exe: without its supportedOS entries,
// GetVersionExW reports 6.2 on every later Windows and the newer-Windows flag stays 0.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "common/handle.h"
#include "support/process.h"

namespace qfu::service {
namespace {

TEST(ProgramManifest, DeclaresWindows81To11AndRunsAsInvoker) {
  const std::wstring program = test::BuiltProgram(L"qfupdate.exe");
  // As a data file: the resources are read, nothing of the program is run.
  const UniqueModule module(
      ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_TRUE(module) << "cannot load qfupdate.exe: " << ::GetLastError();
  const HRSRC found = ::FindResourceW(module.get(), CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
  ASSERT_NE(found, nullptr) << "no RT_MANIFEST 1";
  const DWORD size = ::SizeofResource(module.get(), found);
  const HGLOBAL loaded = ::LoadResource(module.get(), found);
  ASSERT_NE(loaded, nullptr);
  const auto* bytes = static_cast<const char*>(::LockResource(loaded));
  ASSERT_NE(bytes, nullptr);
  std::string manifest(bytes, size);
  std::transform(manifest.begin(), manifest.end(), manifest.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });

  for (const char* id : {"{1f676c76-80e1-4239-95bb-83d0f6d0da78}",    // Windows 8.1
                         "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {  // Windows 10 and 11
    EXPECT_NE(manifest.find(std::string("<supportedos id=\"") + id + "\""), std::string::npos) << id;
  }
  EXPECT_NE(manifest.find("<requestedexecutionlevel level=\"asinvoker\""), std::string::npos);
}

}  // namespace
}  // namespace qfu::service
