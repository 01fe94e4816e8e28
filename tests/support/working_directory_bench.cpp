#include "support/working_directory_bench.h"

#include "package/working_directory.h"

namespace qfu::test {

WorkingDirectoryBench::WorkingDirectoryBench(const std::wstring& name, REGSAM view)
    : key(name, view), scratch(name) {
  objects.working_directory_key_path = key.path();
}

void WorkingDirectoryBench::Override(const std::wstring& text) {
  key.SetString(package::kProgramDataSubdirectoryValue, text.c_str());
}

}  // namespace qfu::test
