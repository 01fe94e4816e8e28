#pragma once
// Checks on the installed QFUpdate service through the Service Control Manager.
#include <windows.h>

namespace qfu::test {

// Starts the service and expects it to stop by itself with that Win32 exit code (`net start`
// reports success whatever the start gives), waiting for its process to end.
void ExpectFailedStart(DWORD exit_code);

}  // namespace qfu::test
