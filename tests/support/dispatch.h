#pragma once
// Messages dispatched in process, on a test store's objects, as a connection of the agent
// would dispatch them.
#include <cstdint>

#include "support/test_messages.h"
#include "support/test_store.h"

namespace qfu::test {

// Dispatches the message into a reply buffer whose every byte starts as 0xCC, so that a field
// the dispatcher leaves unwritten shows.
[[nodiscard]] ReplyBuffer Dispatched(TestStore& store, const wire::MessageWriter& message);
// The result code of the message's reply.
[[nodiscard]] wire::ResultCode DispatchedResult(TestStore& store, const wire::MessageWriter& message);

}  // namespace qfu::test
