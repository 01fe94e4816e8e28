#pragma once
// What a test of the working directory works with: process-wide objects whose working
// directory override is read from a scratch key of the test's own, a scratch folder under
// ProgramData to point the override at.
#include <windows.h>

#include <string>

#include "store/process_objects.h"
#include "support/scratch_directory.h"
#include "support/scratch_key.h"

namespace qfu::test {

struct WorkingDirectoryBench {
  // name: unique per test, for both the key and the folder; view: where the key is written.
  explicit WorkingDirectoryBench(const std::wstring& name, REGSAM view = KEY_WOW64_64KEY);

  // Sets the override value to text as it stands.
  void Override(const std::wstring& text);
  // Sets the override to a folder below the scratch folder (below_scratch: "\Vendor\Agent").
  void OverrideInScratch(const std::wstring& below_scratch) {
    Override(scratch.below_program_data() + below_scratch);
  }

  ScratchKey key;
  ScratchDirectory scratch;
  ProcessObjects objects;
};

}  // namespace qfu::test
