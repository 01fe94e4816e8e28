#include "store/request_time.h"

#include "common/system_clock.h"
#include "store/date_format.h"
#include "store/request_key_access.h"
#include "store/store_operations.h"

namespace qfu::store {

DWORD RecordRequestTime(ProcessObjects& objects, wire::Bytes request_name_field,
                        std::uint32_t instance_number, FileTimeUnits request_time) {
  // The text is that of the moment of writing, not of request_time; NUL-padded to 64 units.
  wchar_t stamp[kTimeStampUnits] = {};
  const SYSTEMTIME now = ToSystemTime(objects.clock->LocalNow());
  (void)FormatLocalDateTime(&now, stamp, kTimeStampUnits);
  return AccessRequestKey(objects, request_name_field, instance_number, KeyAccess::kWrite, [&](HKEY key) {
    const std::uint64_t stored = request_time.count();  // REG_QWORD: the FILETIME value
    return SetValue(key, value::kRequestTime, REG_QWORD, &stored, sizeof(stored)) |
           SetValue(key, value::kTimeStamp, REG_SZ, stamp, kTimeStampBytes);
  });
}

DWORD ReadRequestTime(ProcessObjects& objects, wire::Bytes request_name_field, std::uint32_t instance_number,
                      FileTimeUnits* request_time, wchar_t* text, DWORD text_size) {
  if (request_time != nullptr) *request_time = FileTimeUnits::zero();
  if (text != nullptr && text_size >= sizeof(wchar_t)) text[0] = L'\0';
  return AccessRequestKey(objects, request_name_field, instance_number, KeyAccess::kRead, [&](HKEY key) {
    DWORD read = ERROR_SUCCESS;
    if (request_time != nullptr) {
      std::uint64_t stored = 0;
      const DWORD error = QueryValue(key, value::kRequestTime, &stored, sizeof(stored));
      if (error == ERROR_SUCCESS) *request_time = FileTimeUnits{stored};
      read |= error;
    }
    if (text != nullptr) read |= QueryStringValue(key, value::kTimeStamp, text, text_size);
    return read;
  });
}

}  // namespace qfu::store
