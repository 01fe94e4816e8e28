#include "worker/machine_restart.h"

namespace qfu::worker {

// Not built yet.
DWORD SystemMachineRestart::RestartMachine() { return ERROR_CALL_NOT_IMPLEMENTED; }

}  // namespace qfu::worker
