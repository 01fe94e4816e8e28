// The installation stage with the real signature check, package lock and Windows Installer on
// signed fixtures; the UI and the restart stay fakes.
#include <fstream>
#include <gtest/gtest.h>
#include <string>

#include "package/signature.h"
#include "store/store_operations.h"
#include "support/process.h"
#include "support/run_together.h"
#include "support/scratch_directory.h"
#include "support/test_messages.h"
#include "support/worker_bench.h"
#include "wire/update_status.h"
#include "worker/production_ports.h"

namespace qfu::worker {
namespace {

constexpr DWORD kInstallTimeoutMs = 40000;
// Another test may be running the Windows Installer (1618, retried at the next wake).
constexpr int kWakes = 5;
constexpr DWORD kBetweenWakesMs = 2000;

TEST(InstallationStage, VerifiesAndInstallsRealPackages) {
  constexpr std::uint32_t kNoPublisher = 0x800B0004;
  constexpr std::uint32_t kBadDigest = 0x80096010;  // TRUST_E_BAD_DIGEST
  // The publisher-signed package's SHA-256 as the build computed it, and one that differs.
  std::string digest;
  std::getline(std::ifstream(test::Fixture(L"publisher_signed.msi.sha256").c_str()), digest);
  ASSERT_EQ(digest.size(), 64u);
  std::string other_digest = digest;
  other_digest[63] = digest[63] == '0' ? '1' : '0';
  const struct {
    const char* what;
    const wchar_t* fixture;
    wire::RequestFlags flags;
    std::uint32_t kind;
    wire::UpdateStatus status;
    std::uint32_t detail;
    int restarts;
    const std::string* pinned = nullptr;
  } rows[] = {
      {"its pinned digest", L"publisher_signed.msi", {}, 1, wire::kCompleted, 0, 0, &digest},
      {"another pinned digest",
       L"publisher_signed.msi",
       {},
       1,
       wire::kVerificationFailed,
       kBadDigest,
       0,
       &other_digest},
      {"altered after signing",
       L"publisher_signed_altered.exe",
       {},
       1,
       wire::kVerificationFailed,
       kBadDigest,
       0},
      {"another publisher", L"other_signed.msi", wire::flags::kSkipPublisherCheck, 1,
       wire::kVerificationFailed, kNoPublisher, 0},
      {"another publisher, waived", L"other_signed.msi", wire::flags::kSkipPublisherCheck,
       wire::product_kind::kAnyPublisher, wire::kCompleted, 0, 0},
      {"a restart asked for", L"publisher_signed_reboot.msi", {}, 1, wire::kRestartPending, 0, 1},
  };
  test::ScratchDirectory scratch(L"RealInstallationStage");
  ASSERT_TRUE(scratch.Make());
  const package::SystemSignatureVerifier signature;
  SystemPackageLock package_lock;
  std::atomic<bool> installer_running{false};
  PackageInstaller installer(installer_running);
  SystemPackageHasher package_hasher;
  int index = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const std::wstring folder = scratch.path() + L"\\Request " + std::to_wstring(index++);
    const std::wstring package =
        folder + L"\\package" + std::wstring(row.fixture).substr(std::wstring(row.fixture).rfind(L'.'));
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(::CopyFileW(test::Fixture(row.fixture).c_str(), package.c_str(), FALSE));
    ASSERT_TRUE(test::UninstallPackage(package, kInstallTimeoutMs));

    WorkerPorts real;
    real.signature = &signature;
    real.package_lock = &package_lock;
    real.installer = &installer;
    real.package_hasher = &package_hasher;
    test::WorkerBench bench(L"RealInstallationStage", nullptr, real);
    // Flag 0x1: no prompts; the restart goes to the fake.
    auto message = test::SubmitMessage("Real")
                       .AddFlags(row.flags | wire::flags::kNoPrompts)
                       .U32(wire::kProductKindAt, row.kind);
    if (row.pinned != nullptr) message.TextItem(wire::kPackageDigestItem, *row.pinned);
    store::RequestRecord* record = bench.Waiting(message, wire::kReadyToInstall);
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(store::SetTargetPath(bench.objects(), test::NameField(message), 0, package.c_str(),
                                   store::kTargetPathBytes),
              0u);
    for (int wake = 0; wake < kWakes && bench.StoredStatus(L"Real") == wire::kReadyToInstall; ++wake) {
      if (wake > 0) ::Sleep(kBetweenWakesMs);
      bool went_on = false;
      ASSERT_TRUE(test::RunTogether(
          1, [&](std::size_t) { went_on = bench.worker().RunOnce(); }, kInstallTimeoutMs));
      EXPECT_TRUE(went_on);
    }
    ASSERT_FALSE(bench.statuses.changes.empty());
    EXPECT_EQ(bench.statuses.changes.back().status, row.status);
    EXPECT_EQ(bench.statuses.changes.back().detail, row.detail);
    EXPECT_EQ(bench.restart.calls, row.restarts);
    EXPECT_TRUE(bench.ui.prompts.empty());
    // The package was released: it can be written again.
    const UniqueFile writable(
        ::CreateFileW(package.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(writable.valid());
    EXPECT_TRUE(row.status == wire::kVerificationFailed ||
                test::UninstallPackage(package, kInstallTimeoutMs));
  }
}

}  // namespace
}  // namespace qfu::worker
