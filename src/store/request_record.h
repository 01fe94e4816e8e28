#pragma once
// The in-memory Update Request: one record per request in the request list, allocated
// zero-filled in one block that ends with the copy of the request message.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <span>

#include "common/clock.h"
#include "common/handle.h"

namespace qfu::store {

inline constexpr std::size_t kTargetPathCapacity = 261;  // UTF-16 units with the terminator

struct ListLinks {
  ListLinks* next = this;
  ListLinks* previous = this;
};

class RequestRecord;
struct RequestRecordDeleter {
  // Cancels and closes the record's request timer, then frees the block.
  void operator()(RequestRecord* record) const noexcept;
};
using RequestRecordPtr = std::unique_ptr<RequestRecord, RequestRecordDeleter>;

class RequestRecord : public ListLinks {
 public:
  // Returns a zero-filled record holding a copy of message, or null when out of memory.
  [[nodiscard]] static RequestRecordPtr Create(std::span<const std::uint8_t> message) noexcept;

  [[nodiscard]] std::span<std::uint8_t> message() noexcept {
    return {reinterpret_cast<std::uint8_t*>(this + 1), message_length};
  }
  [[nodiscard]] std::span<const std::uint8_t> message() const noexcept {
    return {reinterpret_cast<const std::uint8_t*>(this + 1), message_length};
  }

  UniqueHandle request_timer;  // unnamed auto-reset waitable timer, null until needed
  Milliseconds due_tick{};     // on the GetTickCount64 clock; 0 = due at once
  // UTC FILETIME at which the request timer is to wake the worker (0: none given), and whether
  // the timer is armed for it. Only the queue worker arms timers, on its own thread, so that
  // their completion routines run in its alertable wait; whoever sets timer_due clears
  // timer_armed.
  FileTimeUnits timer_due{};
  bool timer_armed = false;
  Milliseconds deadline_tick{};   // after this the user can no longer postpone
  std::uint32_t install_now = 0;  // 1: next evaluation skips the window and the prompt
  wchar_t target_path[kTargetPathCapacity] = {};
  std::uint32_t message_length = 0;

 private:
  RequestRecord() = default;
  friend struct RequestRecordDeleter;
};

// The request list: a circular doubly linked list of records that owns them. Guarded by the
// queue mutex; a record taken out is owned by whoever took it.
class RequestList {
 public:
  RequestList() = default;
  RequestList(const RequestList&) = delete;
  RequestList& operator=(const RequestList&) = delete;
  ~RequestList() { Clear(); }

  [[nodiscard]] bool empty() const noexcept { return head_.next == &head_; }
  // Appends the record at the tail; the list owns it from now on.
  void PushBack(RequestRecordPtr record) noexcept;
  // Unlinks the record (which must be in this list) and hands its ownership back.
  [[nodiscard]] RequestRecordPtr Unlink(RequestRecord* record) noexcept;
  // The first record, still linked; null when the list is empty.
  [[nodiscard]] RequestRecord* Front() noexcept {
    return empty() ? nullptr : static_cast<RequestRecord*>(head_.next);
  }
  // Unlinks the first record and hands its ownership back; null when the list is empty.
  [[nodiscard]] RequestRecordPtr PopFront() noexcept;
  // Moves every record for which take(const RequestRecord&) holds to the tail of to, keeping
  // their order; the others stay in place, in their order.
  template <typename Take>
  void MoveTo(RequestList& to, Take&& take) {
    for (ListLinks* link = head_.next; link != &head_;) {
      auto* record = static_cast<RequestRecord*>(link);
      link = link->next;
      if (take(static_cast<const RequestRecord&>(*record))) to.PushBack(Unlink(record));
    }
  }
  // Frees every record.
  void Clear() noexcept;

  // Calls visit(RequestRecord&) for each record in list order while it returns true. The
  // visitor may not unlink records.
  template <typename Visit>
  void ForEach(Visit&& visit) {
    for (ListLinks* link = head_.next; link != &head_; link = link->next) {
      if (!visit(*static_cast<RequestRecord*>(link))) return;
    }
  }

 private:
  ListLinks head_;
};

}  // namespace qfu::store
