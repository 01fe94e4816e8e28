#include "support/http_server.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "common/utf.h"
#include "support/root_store.h"

namespace qfu::test {
namespace {

namespace fs = std::filesystem;

// How often the harness looks for the port the server writes once it listens.
constexpr DWORD kStartPollMs = 50;

// Wine's own conversions between Windows and Unix paths (kernel32 exports under Wine only);
// the results are on the process heap.
using UnixFileName = char*(CDECL*)(const WCHAR*);
using DosFileName = WCHAR*(CDECL*)(const char*);

template <typename Function>
Function WineExport(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

std::string UnixPath(const std::wstring& windows_path) {
  const auto convert = WineExport<UnixFileName>("wine_get_unix_file_name");
  char* converted = convert != nullptr ? convert(windows_path.c_str()) : nullptr;
  if (converted == nullptr) return {};
  std::string result(converted);
  ::HeapFree(::GetProcessHeap(), 0, converted);
  return result;
}

std::wstring DosPath(const char* unix_path) {
  const auto convert = WineExport<DosFileName>("wine_get_dos_file_name");
  WCHAR* converted = convert != nullptr ? convert(unix_path) : nullptr;
  if (converted == nullptr) return {};
  std::wstring result(converted);
  ::HeapFree(::GetProcessHeap(), 0, converted);
  return result;
}

std::wstring Quoted(const std::string& text) { return L"\"" + Utf8ToWide(text) + L"\""; }

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Writes beside the file and renames, so the server never reads half of it.
void WriteAtomically(const fs::path& path, std::string_view text) {
  fs::path partial = path;
  partial += ".partial";
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  ::MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// The strings of one JSON line in order, escapes resolved. The server writes ASCII only, with
// \" \\ \/ \b \f \n \r \t and \uXXXX (UTF-16 units) as escapes.
std::vector<std::string> JsonStrings(std::string_view line) {
  std::vector<std::string> strings;
  std::size_t i = 0;
  while ((i = line.find('"', i)) != std::string_view::npos) {
    WideString text;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] != '\\' || i + 1 >= line.size()) {
        text.push_back(static_cast<WideChar>(static_cast<unsigned char>(line[i])));
        continue;
      }
      const char escape = line[++i];
      constexpr std::string_view kEscapes = "bfnrt", kMeanings = "\b\f\n\r\t";
      if (escape == 'u' && i + 4 < line.size()) {
        text.push_back(static_cast<WideChar>(std::stoul(std::string(line.substr(i + 1, 4)), nullptr, 16)));
        i += 4;
      } else if (const std::size_t k = kEscapes.find(escape); k != std::string_view::npos) {
        text.push_back(static_cast<WideChar>(kMeanings[k]));
      } else {
        text.push_back(static_cast<WideChar>(escape));  // \" \\ \/
      }
    }
    strings.push_back(WideToUtf8(text));
    ++i;  // past the closing quote
  }
  return strings;
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return lower;
}

}  // namespace

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
  for (const auto& [header, value] : headers) {
    if (AsciiLower(header) == AsciiLower(name)) return value;
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
                              std::to_wstring(lifetime_seconds);
  if (scheme == HttpScheme::kHttps) command_line += L" --https";
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

  const ULONGLONG deadline = ::GetTickCount64() + kStartTimeoutMs;
  const fs::path port_file = fs::path(folder_) / L"port";
  const fs::path failure_file = fs::path(folder_) / L"failure";
  for (;;) {
    if (const std::string port = ReadWholeFile(port_file); !port.empty()) {
      port_ = static_cast<unsigned>(std::stoul(port));
      break;
    }
    if (fs::exists(failure_file, ignored)) {
      failure_ = "the server failed to start:\n" + ReadWholeFile(failure_file);
      return;
    }
    if (::GetTickCount64() > deadline) {
      failure_ = "the server did not listen within " + std::to_string(kStartTimeoutMs) + " ms";
      return;
    }
    ::Sleep(kStartPollMs);
  }
  if (scheme == HttpScheme::kHttps) {
    trusted_authority_ = std::make_unique<TrustedRootCertificate>(folder_ + L"\\tls\\ca.crt");
    if (trusted_authority_->error() != ERROR_SUCCESS) {
      failure_ =
          "the server's authority could not be trusted: error " + std::to_string(trusted_authority_->error());
    }
  }
}

TestHttpServer::~TestHttpServer() {
  ::DeleteFileW((folder_ + L"\\lease").c_str());
  trusted_authority_.reset();
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
  std::string json = "{";
  for (const auto& [path, path_rule] : rules_) {
    json += (json.size() > 1 ? ", \"" : "\"") + path + "\": \"" + path_rule + "\"";
  }
  WriteAtomically(fs::path(folder_) / L"rules.json", json + "}\n");
}

std::vector<RecordedRequest> TestHttpServer::Requests() const {
  std::vector<RecordedRequest> requests;
  std::istringstream log(ReadWholeFile(fs::path(folder_) / L"requests.jsonl"));
  for (std::string line; std::getline(log, line);) {
    // {"method": M, "target": T, "headers": [[name, value], ...]}
    const std::vector<std::string> strings = JsonStrings(line);
    if (strings.size() < 5 || strings[0] != "method" || strings[2] != "target" || strings[4] != "headers")
      continue;
    RecordedRequest request{strings[1], strings[3], {}};
    for (std::size_t k = 5; k + 1 < strings.size(); k += 2)
      request.headers.emplace_back(strings[k], strings[k + 1]);
    requests.push_back(std::move(request));
  }
  return requests;
}

void TestHttpServer::ClearRequests() const { ::DeleteFileW((folder_ + L"\\requests.jsonl").c_str()); }

std::uint64_t TestHttpServer::BodyBytesSent() const {
  std::istringstream lines(ReadWholeFile(fs::path(folder_) / L"sent"));
  std::uint64_t total = 0;
  for (std::uint64_t count = 0; lines >> count;) total += count;
  return total;
}

}  // namespace qfu::test
