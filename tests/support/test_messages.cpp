#include "support/test_messages.h"

namespace qfu::test {

wire::MessageWriter SubmitMessage(std::string_view name, std::string_view url) {
  wire::MessageWriter writer(wire::kSubmitRequest);
  writer.Name(name).UiName("Test Software").Version("1.2.3.4");
  writer.TextItem(wire::kPackageUrlItem, url).TextItem(wire::kInstallerArgumentsItem, "");
  return writer;
}

}  // namespace qfu::test
