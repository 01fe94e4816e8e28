#include "package/signature.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/process.h"

namespace qfu::package {
namespace {

// Fixtures made by the build (tests/fixtures) in the fixtures folder beside the tests.
std::wstring Fixture(const wchar_t* name) {
  std::wstring path = test::BuiltProgram((std::wstring(L"fixtures\\") + name).c_str());
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    ADD_FAILURE() << "missing fixture " << std::string(path.begin(), path.end());
  }
  return path;
}

HRESULT Verify(const std::wstring& path, bool skip_publisher_check) {
  return VerifyPublisherSignature(path.c_str(), skip_publisher_check);
}

TEST(VerifyPublisherSignature, UnsignedFileHasNoSignatureEvenWithPublisherTestWaived) {
  const std::wstring unsigned_file = Fixture(L"unsigned.exe");
  EXPECT_EQ(Verify(unsigned_file, false), TRUST_E_NOSIGNATURE);
  EXPECT_EQ(Verify(unsigned_file, true), TRUST_E_NOSIGNATURE);
}

TEST(VerifyPublisherSignature, AcceptsEitherPublisherName) {
  EXPECT_EQ(Verify(Fixture(L"publisher_signed.exe"), false), S_OK);  // "Quillfern Software Inc."
  EXPECT_EQ(Verify(Fixture(L"tessaran_signed.exe"), false), S_OK);
  EXPECT_EQ(Verify(Fixture(L"publisher_signed.msi"), false), S_OK);  // packages as well as programs
  EXPECT_EQ(SystemSignatureVerifier().Verify(Fixture(L"publisher_signed.exe").c_str(), false), S_OK);
}

TEST(VerifyPublisherSignature, RejectsOtherSignersUnlessPublisherTestWaived) {
  for (const wchar_t* name : {L"other_signed.exe", L"lowercase_signed.exe", L"other_signed.msi"}) {
    SCOPED_TRACE(std::string(name, name + std::wstring(name).size()));
    const std::wstring path = Fixture(name);
    EXPECT_EQ(Verify(path, false), TRUST_E_SUBJECT_NOT_TRUSTED);
    EXPECT_EQ(Verify(path, true), S_OK);
  }
  EXPECT_EQ(SystemSignatureVerifier().Verify(Fixture(L"other_signed.exe").c_str(), false),
            TRUST_E_SUBJECT_NOT_TRUSTED);
}

TEST(VerifyPublisherSignature, PassesOnTheVerdictForFileAlteredAfterSigning) {
  const std::wstring altered = Fixture(L"publisher_signed_altered.exe");
  EXPECT_EQ(Verify(altered, false), TRUST_E_BAD_DIGEST);
  EXPECT_EQ(Verify(altered, true), TRUST_E_BAD_DIGEST);
}

TEST(VerifyPublisherSignature, MissingFileIsNotTrusted) {
  const std::wstring missing = test::BuiltProgram(L"fixtures\\no_such_file.exe");
  EXPECT_NE(Verify(missing, false), S_OK);
  EXPECT_NE(Verify(missing, true), S_OK);
  EXPECT_NE(VerifyPublisherSignature(nullptr, true), S_OK);
}

// The worker and any number of pipe connections check files at the same time.
TEST(VerifyPublisherSignature, ConcurrentCallersGetTheirOwnVerdicts) {
  const std::wstring publisher = Fixture(L"publisher_signed.exe");
  const std::wstring other = Fixture(L"other_signed.exe");
  const std::wstring unsigned_file = Fixture(L"unsigned.exe");
  constexpr int kThreads = 4;
  constexpr int kRounds = 3;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        wrong[t] += Verify(publisher, false) != S_OK;
        wrong[t] += Verify(other, false) != TRUST_E_SUBJECT_NOT_TRUSTED;
        wrong[t] += Verify(unsigned_file, false) != TRUST_E_NOSIGNATURE;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

TEST(SubjectNamesPublisher, MatchesEitherNameWithExactCaseAnywhereInTheSubject) {
  EXPECT_TRUE(SubjectNamesPublisher(L"Quillfern Software Inc., Quillfern Code Signing"));
  EXPECT_TRUE(SubjectNamesPublisher(L"Build Team, Tessaran Software Corp"));
  EXPECT_FALSE(SubjectNamesPublisher(L"quillfern software"));
  EXPECT_FALSE(SubjectNamesPublisher(L"QUILLFERN SOFTWARE"));
  EXPECT_FALSE(SubjectNamesPublisher(L"Tessaran Software"));  // the second name only as a whole
  EXPECT_FALSE(SubjectNamesPublisher(L"Quillfern, Software"));
  EXPECT_FALSE(SubjectNamesPublisher(L""));
  EXPECT_FALSE(SubjectNamesPublisher(nullptr));
}

}  // namespace
}  // namespace qfu::package
