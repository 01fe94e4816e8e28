#include "worker/system_state.h"

namespace qfu::worker {

// Not built yet: Windows never waits for a restart, its installer is idle, nobody is logged on.
bool WindowsSystemState::RestartPending() { return false; }
bool WindowsSystemState::InstallerBusy() { return false; }
DWORD WindowsSystemState::LoggedOnUserCount() { return 0; }

}  // namespace qfu::worker
