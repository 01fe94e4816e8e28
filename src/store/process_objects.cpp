#include "store/process_objects.h"

#include <sddl.h>

#include <utility>

#include "common/last_error.h"

namespace qfu {
namespace {

// The security of the named objects, as SDDL: a protected DACL (D:P, nothing inherited) that
// gives all access (GA) to LocalSystem (SY) and Administrators (BA) and nothing to anyone else,
// so that no other user can open, signal, hold or wait on them.
constexpr const wchar_t* kNamedObjectSddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

}  // namespace

DWORD CreateNamedObject(const wchar_t* name, NamedObjectKind kind, UniqueHandle& target) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kNamedObjectSddl, SDDL_REVISION_1, &raw,
                                                              nullptr)) {
    return LastError();
  }
  const UniqueLocalMemory descriptor(raw);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
  UniqueHandle object(kind == NamedObjectKind::kAutoResetEvent
                          ? ::CreateEventW(&attributes, FALSE, FALSE, name)
                          : ::CreateMutexW(&attributes, FALSE, name));
  if (!object) return LastError();
  // Someone made it before us and chose its security: it is theirs, not ours to use.
  if (::GetLastError() == ERROR_ALREADY_EXISTS) return ERROR_ALREADY_EXISTS;
  target = std::move(object);
  return ERROR_SUCCESS;
}

DWORD CreateNamedObjects(ProcessObjects& objects) {
  struct Step {
    UniqueHandle* target;
    const wchar_t* name;
    NamedObjectKind kind;
  };
  const Step steps[] = {
      {&objects.queue_mutex, kQueueMutexName, NamedObjectKind::kMutex},
      {&objects.cancel_mutex, kCancelMutexName, NamedObjectKind::kMutex},
      {&objects.registry_mutex, kRegistryMutexName, NamedObjectKind::kMutex},
      {&objects.update_event, kUpdateEventName, NamedObjectKind::kAutoResetEvent},
  };
  for (const Step& step : steps) {
    if (const DWORD error = CreateNamedObject(step.name, step.kind, *step.target); error != ERROR_SUCCESS) {
      return error;
    }
  }
  return ERROR_SUCCESS;
}

void ReleaseGlobalObjects(ProcessObjects& objects) {
  objects.queue_mutex.reset();
  objects.cancel_mutex.reset();
  objects.registry_mutex.reset();
  objects.update_event.reset();
}

}  // namespace qfu
