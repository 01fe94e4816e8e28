#pragma once
// Filling a status record from a request message: the identity part shared by replies and
// status notifications.
#include "wire/message.h"

namespace qfu::wire {

// Clears the record, sets its record size and length to 159, copies the request name (37
// bytes) and UIName (80 bytes) from the message header and sets the instance number (the
// header's with flag 0x8, else 0). Result code, UpdateStatus, SystemErrorCode and
// SoftwareVersion stay 0. A field the message is too short to hold stays zero.
void PrepareStatusRecord(wire::Bytes message, wire::StatusRecord record) noexcept;

}  // namespace qfu::wire
