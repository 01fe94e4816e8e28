#pragma once
#include "store/agent_config.h"
#include "store/process_objects.h"
#include "wire/message.h"

namespace qfu::ipc {

// Carries out one request message that passed the pipe server's checks and fills the reply
// (a buffer of kReplyCapacity bytes); the reply's length field says how many bytes to send.
// config: the user agent that message type 1 replaces.
void Dispatch(ProcessObjects& objects, AgentConfig& config, wire::Bytes message, wire::MutableBytes reply);

}  // namespace qfu::ipc
