#include "wire/status_record.h"

#include <algorithm>

namespace qfu::wire {
namespace {

void CopyField(wire::Bytes from, wire::MutableBytes to) noexcept {
  std::copy_n(from.begin(), std::min(from.size(), to.size()), to.begin());
}

}  // namespace

void PrepareStatusRecord(wire::Bytes message, wire::StatusRecord record) noexcept {
  const wire::RequestMessage request(message);
  record.Clear();
  CopyField(request.request_name_field(), record.request_name_field());
  CopyField(request.ui_name_field(), record.ui_name_field());
  record.set_instance_number(request.instance_number());
}

}  // namespace qfu::wire
