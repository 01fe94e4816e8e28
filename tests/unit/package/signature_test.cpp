#include "package/signature.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace qfu::package {
namespace {

using test::Fixture;

TEST(VerifyPublisherSignature, AcceptsEitherPublisherAndOtherSignersOnlyWithThePublisherTestWaived) {
  struct Case {
    const wchar_t* fixture;
    HRESULT checked, waived;
  };
  const Case cases[] = {
      {L"publisher_signed.exe", S_OK, S_OK},  // "Quillfern Software Inc."
      {L"tessaran_signed.exe", S_OK, S_OK},
      {L"publisher_signed.msi", S_OK, S_OK},  // packages as well as programs
      {L"other_signed.exe", TRUST_E_SUBJECT_NOT_TRUSTED, S_OK},
      {L"lowercase_signed.exe", TRUST_E_SUBJECT_NOT_TRUSTED, S_OK},
      {L"other_signed.msi", TRUST_E_SUBJECT_NOT_TRUSTED, S_OK},
      {L"unsigned.exe", TRUST_E_NOSIGNATURE, TRUST_E_NOSIGNATURE},
      {L"publisher_signed_altered.exe", TRUST_E_BAD_DIGEST, TRUST_E_BAD_DIGEST},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture, c.fixture + std::wstring(c.fixture).size()));
    EXPECT_EQ(VerifyPublisherSignature(Fixture(c.fixture).c_str(), false), c.checked);
    EXPECT_EQ(VerifyPublisherSignature(Fixture(c.fixture).c_str(), true), c.waived);
  }
  EXPECT_EQ(SystemSignatureVerifier().Verify(Fixture(L"publisher_signed.exe").c_str(), false), S_OK);
  EXPECT_EQ(SystemSignatureVerifier().Verify(Fixture(L"other_signed.exe").c_str(), false),
            TRUST_E_SUBJECT_NOT_TRUSTED);
  const std::wstring missing = test::BuiltProgram(L"fixtures\\no_such_file.exe");
  EXPECT_NE(VerifyPublisherSignature(missing.c_str(), false), S_OK);
  EXPECT_NE(VerifyPublisherSignature(missing.c_str(), true), S_OK);
  EXPECT_NE(VerifyPublisherSignature(nullptr, true), S_OK);
}

// The worker and any number of pipe connections check files at the same time.
TEST(VerifyPublisherSignature, ConcurrentCallersGetTheirOwnVerdicts) {
  const std::pair<std::wstring, HRESULT> files[] = {{Fixture(L"publisher_signed.exe"), S_OK},
                                                    {Fixture(L"other_signed.exe"), TRUST_E_SUBJECT_NOT_TRUSTED},
                                                    {Fixture(L"unsigned.exe"), TRUST_E_NOSIGNATURE}};
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int& thread_wrong : wrong) {
    threads.emplace_back([&] {
      for (int round = 0; round < 3; ++round) {
        for (const auto& [path, verdict] : files) {
          thread_wrong += VerifyPublisherSignature(path.c_str(), false) != verdict;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int thread_wrong : wrong) EXPECT_EQ(thread_wrong, 0);
}

TEST(SubjectNamesPublisher, MatchesEitherNameWithExactCaseAnywhereInTheSubject) {
  EXPECT_TRUE(SubjectNamesPublisher(L"Quillfern Software Inc., Quillfern Code Signing"));
  EXPECT_TRUE(SubjectNamesPublisher(L"Build Team, Tessaran Software Corp"));
  for (const wchar_t* subject : {L"quillfern software", L"QUILLFERN SOFTWARE", L"Tessaran Software",  // whole name
                                 L"Quillfern, Software", L""}) {
    EXPECT_FALSE(SubjectNamesPublisher(subject)) << std::wstring(subject).size();
  }
  EXPECT_FALSE(SubjectNamesPublisher(nullptr));
}

}  // namespace
}  // namespace qfu::package
