#include "support/program_resources.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <gtest/gtest.h>

#include "common/handle.h"
#include "support/process.h"

namespace qfu::test {

std::string LowerCaseManifest(const wchar_t* file_name) {
  const std::wstring program = BuiltProgram(file_name);
  // As a data file: the resources are read, nothing of the program is run.
  const UniqueModule module(
      ::LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  if (!module) {
    ADD_FAILURE() << "cannot load the program: " << ::GetLastError();
    return {};
  }
  const HRSRC found = ::FindResourceW(module.get(), CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
  const HGLOBAL loaded = found != nullptr ? ::LoadResource(module.get(), found) : nullptr;
  const auto* bytes = loaded != nullptr ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  if (bytes == nullptr) {
    ADD_FAILURE() << "no RT_MANIFEST 1";
    return {};
  }
  std::string manifest(bytes, ::SizeofResource(module.get(), found));
  std::transform(manifest.begin(), manifest.end(), manifest.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return manifest;
}

}  // namespace qfu::test
