#include "support/working_directory_bench.h"

#include "package/working_directory.h"

namespace qfu::test {

WorkingDirectoryBench::WorkingDirectoryBench(const std::wstring& name)
    : redirect(name),
      key(package::kWorkingDirectoryKeyPath, KEY_WOW64_64KEY, ScratchKey::Place::kRedirectedMachine),
      scratch(name) {}

void WorkingDirectoryBench::Override(const std::wstring& text) {
  key.SetString(package::kProgramDataSubdirectoryValue, text.c_str());
}

}  // namespace qfu::test
