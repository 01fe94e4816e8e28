#pragma once
// What a client asks of a message pipe it talks on: read and write messages, and set the
// handle's state to switch to message read mode. Not GENERIC_WRITE, which includes
// FILE_APPEND_DATA (FILE_CREATE_PIPE_INSTANCE on a pipe) and FILE_WRITE_EA: a server's DACL that
// grants only what talking needs refuses a client asking for those.
#include <windows.h>

namespace qfu {

inline constexpr DWORD kPipeClientAccess = GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

}  // namespace qfu
