#include "support/working_directory_bench.h"

#include <aclapi.h>
#include <sddl.h>

#include "common/handle.h"
#include "package/working_directory.h"

namespace qfu::test {

WorkingDirectoryBench::WorkingDirectoryBench(const std::wstring& name)
    : redirect(name),
      key(package::kWorkingDirectoryKeyPath, KEY_WOW64_64KEY, ScratchKey::Place::kRedirectedMachine),
      scratch(name) {}

void WorkingDirectoryBench::Override(const std::wstring& text) {
  key.SetString(package::kProgramDataSubdirectoryValue, text.c_str());
}

std::wstring SecurityOf(const std::wstring& path) {
  constexpr SECURITY_INFORMATION kOwnerAndAccess = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR raw = nullptr;
  const DWORD read = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, kOwnerAndAccess, nullptr, nullptr,
                                             nullptr, nullptr, &raw);
  UniqueLocalMemory descriptor(raw);
  if (read != ERROR_SUCCESS) return L"error " + std::to_wstring(read);
  wchar_t* text = nullptr;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1,
                                                              kOwnerAndAccess, &text, nullptr)) {
    return L"unconvertible";
  }
  UniqueLocalMemory owned_text(text);
  return text;
}

}  // namespace qfu::test
