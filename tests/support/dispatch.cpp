#include "support/dispatch.h"

#include "ipc/dispatcher.h"

namespace qfu::test {

ReplyBuffer Dispatched(TestStore& store, const wire::MessageWriter& message) {
  ReplyBuffer reply;
  reply.bytes.fill(0xCC);
  ipc::Dispatch(store.objects(), store.config(), message.span(), reply.bytes);
  return reply;
}

wire::ResultCode DispatchedResult(TestStore& store, const wire::MessageWriter& message) {
  return Dispatched(store, message).record().result_code();
}

}  // namespace qfu::test
