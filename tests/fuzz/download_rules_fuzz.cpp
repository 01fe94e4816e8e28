// The URL's path and the Content-Length header come from whoever submits the request and from
// the server:
// - a package file name is the path's last segment, one plain name that stays inside the
//   package folder (no separator, stream, trailing dot or space, "." or "..", device name);
// - a Content-Length that parses is decimal digits between optional spaces and reads as the
//   number those digits write.
#include <string>

#include "common/utf.h"
#include "fuzz_input.h"
#include "package/download_rules.h"
#include "store/request_name.h"

namespace {

using qfu::WideChar;
using qfu::WideStringView;

void CheckFileName(WideStringView path) {
  const auto name = qfu::package::PackageFileName(path);
  if (!name) return;
  QFU_FUZZ_CHECK(!name->empty());
  QFU_FUZZ_CHECK(path.size() >= name->size() && path.substr(path.size() - name->size()) == *name);
  QFU_FUZZ_CHECK(name->size() == path.size() || path[path.size() - name->size() - 1] == u'/');
  for (const WideChar c : *name)
    QFU_FUZZ_CHECK(c != u'/' && c != u'\\' && c != u':' && c >= 0x20 && c != 0x7F);
  QFU_FUZZ_CHECK(*name != u"." && *name != u"..");
  QFU_FUZZ_CHECK(name->back() != u'.' && name->back() != u' ');
  QFU_FUZZ_CHECK(!qfu::store::IsDeviceName(qfu::WideToUtf8(*name)));
}

void CheckContentLength(WideStringView value) {
  const auto length = qfu::package::ParseContentLength(value);
  if (!length) return;
  const std::size_t first = value.find_first_not_of(u' ');
  const std::size_t last = value.find_last_not_of(u' ');
  QFU_FUZZ_CHECK(first != WideStringView::npos);
  const WideStringView digits = value.substr(first, last - first + 1);
  std::string written;
  for (const WideChar c : digits) {
    QFU_FUZZ_CHECK(c >= u'0' && c <= u'9');
    if (!written.empty() || c != u'0') written.push_back(static_cast<char>(c));
  }
  QFU_FUZZ_CHECK(std::to_string(*length) == (written.empty() ? "0" : written));
}

// A range taken is one the file can hold: it starts before it ends, and ends before its total.
void CheckContentRange(WideStringView value) {
  if (const auto range = qfu::package::ParseContentRange(value)) {
    QFU_FUZZ_CHECK(range->first <= range->last && (!range->total || *range->total > range->last));
  }
  (void)qfu::package::ParseUnsatisfiedRange(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const qfu::WideString text = qfu::fuzz::WideFromBytes(data, size);
  CheckFileName(text);
  CheckContentLength(text);
  CheckContentRange(text);
  // The same bytes as one-byte characters, where the ASCII rules are easiest to reach.
  qfu::WideString narrow(data, data + size);
  CheckFileName(narrow);
  CheckContentLength(narrow);
  CheckContentRange(narrow);
  return 0;
}
