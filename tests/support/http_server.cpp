#include "support/http_server.h"

#include <wincrypt.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "common/handle.h"
#include "common/utf.h"
#include "package/downloader.h"
#include "support/process.h"
#include "support/run_together.h"
#include "support/scratch_directory.h"

namespace qfu::test {
namespace {

namespace fs = std::filesystem;

struct CertStoreTraits {
  using Type = HCERTSTORE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type store) noexcept { ::CertCloseStore(store, 0); }
};
using UniqueCertStore = UniqueAny<CertStoreTraits>;

UniqueCertStore OpenMachineRoot() {
  return UniqueCertStore(
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
}

// Wine's own conversion of a Unix path to a Windows path (a kernel32 export under Wine only);
// the result is on the process heap.
std::wstring DosPath(const char* unix_path) {
  using DosFileName = WCHAR*(CDECL*)(const char*);
  const auto convert = reinterpret_cast<DosFileName>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
  WCHAR* converted = convert != nullptr ? convert(unix_path) : nullptr;
  if (converted == nullptr) return {};
  std::wstring result(converted);
  ::HeapFree(::GetProcessHeap(), 0, converted);
  return result;
}

std::wstring Quoted(const std::string& text) { return L"\"" + Utf8ToWide(text) + L"\""; }

std::string ReadWholeFile(const fs::path& path) { return FileBytes(path.wstring()).value_or(""); }

// Writes beside the file and renames, so the server never reads half of it.
void WriteAtomically(const fs::path& path, std::string_view text) {
  fs::path partial = path;
  partial += ".partial";
  std::ofstream(partial, std::ios::binary | std::ios::trunc) << text;
  ::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
  for (const auto& [header, value] : headers) {
    if (_stricmp(header.c_str(), std::string(name).c_str()) == 0) return value;
  }
  return std::nullopt;
}

TestHttpServer::TestHttpServer(const std::wstring& name, HttpScheme scheme, int lifetime_seconds)
    : scheme_text_(scheme == HttpScheme::kHttps ? L"https" : L"http") {
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  folder_ = std::wstring(temp) + L"qfu-http-" + name + L"-" + std::to_wstring(::GetCurrentProcessId());
  Start(scheme, lifetime_seconds);
}

void TestHttpServer::Start(HttpScheme scheme, int lifetime_seconds) {
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
  fs::create_directories(fs::path(folder_) / L"files", ignored);
  WriteAtomically(fs::path(folder_) / L"lease", "the server runs while this file exists\n");

  // Unix programs started from Wine get Unix paths; python3 itself is named by its DOS path.
  const std::string unix_folder = UnixPath(folder_);
  const std::wstring python = DosPath(QFU_TEST_PYTHON);
  if (unix_folder.empty() || python.empty()) {
    failure_ = "not running under Wine: no Unix path for the server";
    return;
  }
  std::wstring command_line = L"python3 " + Quoted(QFU_TEST_HTTP_SERVER) + L" --dir " + Quoted(unix_folder) +
                              L" --openssl " + Quoted(QFU_TEST_OPENSSL) + L" --max-seconds " +
                              std::to_wstring(lifetime_seconds) +
                              (scheme == HttpScheme::kHttps ? L" --https" : L"");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(python.c_str(), command_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &info)) {
    failure_ = "python3 could not be started: error " + std::to_string(::GetLastError());
    return;
  }
  // Under Wine a Unix program's handles are placeholders: the server is watched through its
  // folder instead (the port file, the failure file, the lease).
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);

  const fs::path port_file = fs::path(folder_) / L"port";
  const fs::path failure_file = fs::path(folder_) / L"failure";
  std::string port;
  if (!WaitUntil([&] { return !(port = ReadWholeFile(port_file)).empty() || fs::exists(failure_file); },
                 kStartTimeoutMs)) {
    failure_ = "the server did not listen within " + std::to_string(kStartTimeoutMs) + " ms";
  } else if (port.empty()) {
    failure_ = "the server failed to start:\n" + ReadWholeFile(failure_file);
  } else {
    port_ = static_cast<unsigned>(std::stoul(port));
    if (scheme == HttpScheme::kHttps) {
      if (const DWORD error = TrustAuthority(); error != ERROR_SUCCESS) {
        failure_ = "the server's authority could not be trusted: error " + std::to_string(error);
      }
    }
  }
}

// Adds the server's authority to the machine's "Root" store, committing at once: Wine writes a
// registry store's changes back only on a commit or the store's last close.
DWORD TestHttpServer::TrustAuthority() {
  const std::string pem = ReadWholeFile(fs::path(folder_) / L"tls" / L"ca.crt");
  std::vector<BYTE> der(pem.size());  // DER is shorter than its Base64
  auto size = static_cast<DWORD>(der.size());
  const UniqueCertStore root = OpenMachineRoot();
  if (!::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, nullptr, nullptr) ||
      !root ||
      !::CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING, der.data(), size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr) ||
      !::CertControlStore(root.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr)) {
    return ::GetLastError();
  }
  der.resize(size);
  trusted_authority_ = std::move(der);
  return ERROR_SUCCESS;
}

TestHttpServer::~TestHttpServer() {
  ::DeleteFileW((folder_ + L"\\lease").c_str());
  if (!trusted_authority_.empty()) {
    const UniqueCertStore root = OpenMachineRoot();
    PCCERT_CONTEXT added = ::CertCreateCertificateContext(X509_ASN_ENCODING, trusted_authority_.data(),
                                                          static_cast<DWORD>(trusted_authority_.size()));
    // The delete call frees the context it is given: the one the store found.
    PCCERT_CONTEXT stored = root && added != nullptr
                                ? ::CertFindCertificateInStore(root.get(), X509_ASN_ENCODING, 0,
                                                               CERT_FIND_EXISTING, added, nullptr)
                                : nullptr;
    if (stored != nullptr && ::CertDeleteCertificateFromStore(stored)) {
      (void)::CertControlStore(root.get(), 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    if (added != nullptr) ::CertFreeCertificateContext(added);
  }
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

std::wstring TestHttpServer::Url(std::wstring_view path_and_query) const {
  return scheme_text_ + L"://127.0.0.1:" + std::to_wstring(port_) + std::wstring(path_and_query);
}

void TestHttpServer::AddFile(const std::wstring& name, std::string_view bytes) const {
  WriteAtomically(fs::path(folder_) / L"files" / name, bytes);
}

void TestHttpServer::SetRule(const std::string& url_path, const std::string& rule) {
  const auto same_path = [&](const auto& entry) { return entry.first == url_path; };
  rules_.erase(std::remove_if(rules_.begin(), rules_.end(), same_path), rules_.end());
  rules_.emplace_back(url_path, rule);
  std::string lines;
  for (const auto& [path, path_rule] : rules_) lines += path + " " + path_rule + "\n";
  WriteAtomically(fs::path(folder_) / L"rules", lines);
}

std::vector<RecordedRequest> TestHttpServer::Requests() const {
  // Each request: its target on a line, then "name: value" lines, then an empty line.
  std::vector<RecordedRequest> requests;
  std::istringstream log(ReadWholeFile(fs::path(folder_) / L"requests"));
  bool in_request = false;
  for (std::string line; std::getline(log, line);) {
    if (line.empty()) {
      in_request = false;
    } else if (!in_request) {
      requests.push_back({line, {}});
      in_request = true;
    } else if (const std::size_t colon = line.find(": "); colon != std::string::npos) {
      requests.back().headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
  }
  return requests;
}

void TestHttpServer::ClearRequests() const { ::DeleteFileW((folder_ + L"\\requests").c_str()); }

std::uint64_t TestHttpServer::BodyBytesSent() const {
  std::istringstream lines(ReadWholeFile(fs::path(folder_) / L"sent"));
  std::uint64_t total = 0;
  for (std::uint64_t count = 0; lines >> count;) total += count;
  return total;
}

TestDownloads::TestDownloads(const std::wstring& request_name)
    : request_name_(request_name), directory_(ProgramDataFolder() + L"\\Quillfern\\" + request_name + L"\\") {
  config.user_agent_mutex.reset(::CreateMutexW(nullptr, FALSE, nullptr));
  stop_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Clear();
}

TestDownloads::~TestDownloads() { Clear(); }

void TestDownloads::Clear() const {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void TestDownloads::Leave(const std::wstring& file_name, const std::string& bytes) const {
  std::filesystem::create_directories(directory_);
  std::ofstream(std::filesystem::path(Path(file_name)), std::ios::binary | std::ios::trunc) << bytes;
}

DWORD TestDownloads::Download(const std::wstring& url, bool resume) {
  DWORD result = 0xDEADBEEF;
  target_path_.assign(kTargetPathUnits, L'?');
  const bool returned = RunTogether(
      1,
      [&](std::size_t) {
        result = package::ChoosePackagePath(request_name_.c_str(), url.c_str(), target_path_);
        if (result == ERROR_SUCCESS) {
          result =
              package::DownloadPackage(config, url.c_str(), target_path_.c_str(), resume, stop_event.get());
        }
      },
      kDownloadTimeoutMs);
  EXPECT_TRUE(returned) << "the download did not return within " << kDownloadTimeoutMs << " ms";
  return result;
}

std::string PackageBytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 20240601;
  for (char& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::optional<std::uint64_t> FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::string> FileBytes(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  if (!file) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

testing::AssertionResult SameFile(const std::optional<std::string>& actual,
                                  const std::optional<std::string>& expected) {
  if (actual == expected) return testing::AssertionSuccess();
  if (!actual || !expected)
    return testing::AssertionFailure() << (actual ? "a file where none belongs" : "no file");
  const auto [differs, ignored] =
      std::mismatch(actual->begin(), actual->end(), expected->begin(), expected->end());
  return testing::AssertionFailure() << actual->size() << " bytes instead of " << expected->size()
                                     << ", first difference at offset " << (differs - actual->begin());
}

}  // namespace qfu::test
