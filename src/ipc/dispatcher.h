#pragma once
#include "store/process_objects.h"
#include "wire/message.h"

namespace qfu::ipc {

// Carries out one request message that passed the pipe server's checks and fills the reply
// (a buffer of kReplyCapacity bytes); the reply's length field says how many bytes to send.
void Dispatch(ProcessObjects& objects, wire::Bytes message, wire::MutableBytes reply);

}  // namespace qfu::ipc
