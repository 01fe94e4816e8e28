#include "store/status_record.h"

#include <algorithm>

namespace qfu::store {
namespace {

void CopyField(ipc::Bytes from, ipc::MutableBytes to) noexcept {
  std::copy_n(from.begin(), std::min(from.size(), to.size()), to.begin());
}

}  // namespace

void PrepareStatusRecord(ipc::Bytes message, ipc::StatusRecord record) noexcept {
  const ipc::RequestMessage request(message);
  record.Clear();
  CopyField(request.request_name_field(), record.request_name_field());
  CopyField(request.ui_name_field(), record.ui_name_field());
  record.set_instance_number(request.instance_number());
}

}  // namespace qfu::store
