#include "ipc/pipe_server.h"

#include "common/handle.h"

namespace qfu::ipc {
namespace {

// Not built yet: creating the pipe instances and serving connections. Until then the
// listener ends at once and neither pipe is served.
DWORD WINAPI PipeListenerThread(LPVOID) { return 0; }

}  // namespace

DWORD StartPipeListener(ProcessObjects&, PipeKind kind) {
  UniqueHandle thread(::CreateThread(nullptr, 0, PipeListenerThread,
                                     reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(kind)), 0, nullptr));
  return thread ? ERROR_SUCCESS : ::GetLastError();
}

}  // namespace qfu::ipc
