#include "store/request_name.h"

#include <gtest/gtest.h>
#include <string>

#include "common/utf.h"
#include "store/request_key.h"
#include "wire/message_writer.h"

namespace qfu::store {
namespace {

bool Acceptable(std::string_view name) {
  const auto message = wire::MessageWriter().Name(name);
  return IsAcceptableRequestName(wire::RequestMessage(message.span()).request_name_field());
}

TEST(RequestName, AcceptsPlainNamesThatSurviveTheirKeyName) {
  for (const std::string& name :
       {std::string("Client"), std::string("Client.Update-2"), std::string("a"),
        std::string("Gr\xC3\xBC\xC3\x9F"), std::string(36, 'n'), std::string("CONSOLE"), std::string("COM10"),
        std::string("LPT0"), std::string("My App")}) {
    EXPECT_TRUE(Acceptable(name)) << name;
    const auto parsed = ParseRequestKeyName(FormatRequestKeyName(Utf8ToWide(name), 7));
    ASSERT_TRUE(parsed.has_value()) << name;
    EXPECT_EQ(FieldText(parsed->name), name);
  }
}

TEST(RequestName, RefusesNamesThatCannotKeyOrNameAFolder) {
  const std::string refused[] = {
      "",                    // empty: would address the service key itself
      std::string(37, 'n'),  // no NUL inside the field
      "My_App",              // splits at "_" when the keys are enumerated
      "*",                   // cancel's wildcard
      "a\\b",
      "a/b",
      "C:",
      "a<b",
      "a>b",
      "a\"b",
      "a|b",
      "a?b",
      "a*b",
      "..",
      "a..b",
      "trailing.",
      "trailing ",
      std::string("tab\there"),
      std::string("del\x7F"),
      std::string("nl\n"),
      "CON",
      "con",
      "PRN",
      "AUX",
      "Nul",
      "COM1",
      "com9",
      "LPT1",
      "lpt9",
      "CON.txt",
      "nul.tar.gz",
      "COM1 .log",
      "COM\xC2\xB9",   // COM with a superscript one is a device too
      "\xC3\x28",      // not UTF-8
      "\xC0\xAF",      // overlong "/"
      "\xED\xA0\x80",  // a surrogate
  };
  for (const std::string& name : refused) EXPECT_FALSE(Acceptable(name)) << name;
}

}  // namespace
}  // namespace qfu::store
