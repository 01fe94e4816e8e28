#pragma once
// What a test of the working directory works with: the registry redirected, so that the
// working directory's override is read from a key of the test's own, a scratch folder under
// ProgramData to point the override at.
#include <windows.h>

#include <string>

#include "support/scratch_directory.h"
#include "support/scratch_key.h"

namespace qfu::test {

struct WorkingDirectoryBench {
  // name: unique per test, for both the redirect and the folder.
  explicit WorkingDirectoryBench(const std::wstring& name);

  // Sets the override value to text as it stands.
  void Override(const std::wstring& text);
  // Sets the override to a folder below the scratch folder (below_scratch: "\Vendor\Agent").
  void OverrideInScratch(const std::wstring& below_scratch) {
    Override(scratch.below_program_data() + below_scratch);
  }

  RegistryRedirect redirect;
  ScratchKey key;  // the working directory's key, with no override value at first
  ScratchDirectory scratch;
};

}  // namespace qfu::test
