#pragma once
#include "ipc/message.h"
#include "service/process_objects.h"

namespace qfu::ipc {

// Carries out one request message that passed the pipe server's checks and fills the reply
// (a buffer of kReplyCapacity bytes); the reply's length field says how many bytes to send.
void Dispatch(ProcessObjects& objects, Bytes message, MutableBytes reply);

}  // namespace qfu::ipc
