#pragma once
// The package server of the downloader's tests (tests/support/http_server.py) run under Wine
// for one test: HTTP or HTTPS on 127.0.0.1, files the test adds, answers by rules the test
// sets, and a record of every request it received.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qfu::test {

// One request as the server received it.
struct RecordedRequest {
  std::string target;                                        // path and query, as sent
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  // The value of the first header named name (in any letter case); nothing when absent.
  [[nodiscard]] std::optional<std::string> Header(std::string_view name) const;
};

enum class HttpScheme { kHttp, kHttps };

class TestHttpServer {
 public:
  // Starts the server in a scratch folder named after name (unique per test) and waits at most
  // kStartTimeoutMs for it to listen. With kHttps the server makes a throwaway certificate
  // authority, which the machine's root store (where WinHTTP looks) trusts while this object
  // lives. The server ends by itself after lifetime_seconds, should its owner die.
  TestHttpServer(const std::wstring& name, HttpScheme scheme, int lifetime_seconds = 120);
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;
  // Tells the server to end, forgets its authority, removes the folder.
  ~TestHttpServer();

  static constexpr DWORD kStartTimeoutMs = 30000;

  // Empty when the server is listening, else what went wrong.
  [[nodiscard]] const std::string& failure() const { return failure_; }
  [[nodiscard]] unsigned port() const { return port_; }
  // L"http://127.0.0.1:<port>" or L"https://..." followed by path_and_query.
  [[nodiscard]] std::wstring Url(std::wstring_view path_and_query) const;

  // Serves bytes as "/" + name.
  void AddFile(const std::wstring& name, std::string_view bytes) const;
  // Answers the requests for url_path (without query) from the next one on by rule (the rules:
  // http_server.py).
  void SetRule(const std::string& url_path, const std::string& rule);
  // Every request received so far, oldest first (each is recorded before it is answered).
  [[nodiscard]] std::vector<RecordedRequest> Requests() const;
  void ClearRequests() const;
  // The body bytes of every answer whose body has been sent (or failed to be), in all.
  [[nodiscard]] std::uint64_t BodyBytesSent() const;

 private:
  void Start(HttpScheme scheme, int lifetime_seconds);
  [[nodiscard]] DWORD TrustAuthority();

  std::wstring folder_;  // Windows path of the scratch folder
  std::wstring scheme_text_;
  std::vector<std::pair<std::string, std::string>> rules_;
  std::vector<BYTE> trusted_authority_;  // the certificate added to the root store, DER
  unsigned port_ = 0;
  std::string failure_;
};

}  // namespace qfu::test
