#include "package/signature.h"

#include <gtest/gtest.h>
#include <string>

#include "support/process.h"

namespace qfu::package {
namespace {

using test::Fixture;

// The publisher test itself is SubjectNamesPublisher's table below.
TEST(VerifyPublisherSignature, AcceptsEitherPublisherAndOtherSignersOnlyWithThePublisherTestWaived) {
  const struct {
    const wchar_t* fixture;
    HRESULT checked, waived;
  } cases[] = {
      {L"publisher_signed.exe", S_OK, S_OK},  // "Quillfern Software Inc."
      {L"tessaran_signed.exe", S_OK, S_OK},
      {L"publisher_signed.msi", S_OK, S_OK},  // packages as well as programs
      {L"other_signed.msi", TRUST_E_SUBJECT_NOT_TRUSTED, S_OK},
      {L"unsigned.exe", TRUST_E_NOSIGNATURE, TRUST_E_NOSIGNATURE},
      {L"publisher_signed_altered.exe", TRUST_E_BAD_DIGEST, TRUST_E_BAD_DIGEST},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fixture, c.fixture + std::wstring(c.fixture).size()));
    EXPECT_EQ(SystemSignatureVerifier().Verify(Fixture(c.fixture).c_str(), false), c.checked);
    EXPECT_EQ(SystemSignatureVerifier().Verify(Fixture(c.fixture).c_str(), true), c.waived);
  }
  EXPECT_NE(VerifyPublisherSignature(test::BuiltProgram(L"fixtures\\no_such_file.exe").c_str(), true), S_OK);
  EXPECT_NE(VerifyPublisherSignature(nullptr, true), S_OK);
}

TEST(SubjectNamesPublisher, MatchesEitherNameWithExactCaseAnywhereInTheSubject) {
  EXPECT_TRUE(SubjectNamesPublisher(L"Quillfern Software Inc., Quillfern Code Signing"));
  EXPECT_TRUE(SubjectNamesPublisher(L"Build Team, Tessaran Software Corp"));
  for (const wchar_t* subject : {L"quillfern software", L"Tessaran Software", L"Quillfern, Software", L""}) {
    EXPECT_FALSE(SubjectNamesPublisher(subject)) << std::wstring(subject).size();
  }
  EXPECT_FALSE(SubjectNamesPublisher(nullptr));
}

}  // namespace
}  // namespace qfu::package
