#include "store/request_record.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace qfu::store {

RequestRecordPtr RequestRecord::Create(std::span<const std::uint8_t> message) noexcept {
  void* block = std::calloc(1, sizeof(RequestRecord) + message.size());
  if (block == nullptr) return nullptr;
  auto* record = new (block) RequestRecord();
  record->message_length = static_cast<std::uint32_t>(message.size());
  if (!message.empty()) std::memcpy(record->message().data(), message.data(), message.size());
  return RequestRecordPtr(record);
}

void RequestRecordDeleter::operator()(RequestRecord* record) const noexcept {
  if (record == nullptr) return;
  if (record->request_timer) ::CancelWaitableTimer(record->request_timer.get());
  record->~RequestRecord();
  std::free(record);
}

void RequestList::PushBack(RequestRecordPtr record) noexcept {
  RequestRecord* r = record.release();
  r->previous = head_.previous;
  r->next = &head_;
  head_.previous->next = r;
  head_.previous = r;
}

RequestRecordPtr RequestList::Unlink(RequestRecord* record) noexcept {
  record->previous->next = record->next;
  record->next->previous = record->previous;
  record->next = record;
  record->previous = record;
  return RequestRecordPtr(record);
}

RequestRecordPtr RequestList::PopFront() noexcept {
  if (empty()) return nullptr;
  return Unlink(static_cast<RequestRecord*>(head_.next));
}

void RequestList::Clear() noexcept {
  while (!empty()) (void)PopFront();
}

}  // namespace qfu::store
