#pragma once
// The VPN client's API library, "qfclapi64.dll" in the system directory: its connection
// state, point-of-presence network type and version, and the download trigger condition.
// The worker and the version comparison reach it through the ClientApi port, so tests can
// hand them a fake; LibraryClientApi is the production implementation.
#include <windows.h>

#include <span>

namespace qfu::worker {

inline constexpr const wchar_t* kClientApiLibrary = L"qfclapi64.dll";
// The connection state the client reports while it is connected.
inline constexpr DWORD kClientConnectedState = 3;

class ClientApi {
 public:
  virtual ~ClientApi() = default;

  // Returns the point-of-presence network type (1, 2 and 3 are told apart); 0 when unknown.
  [[nodiscard]] virtual DWORD NetworkType() = 0;
  // True when the client reports that it is connected; false when it cannot be asked.
  [[nodiscard]] virtual bool IsConnected() = 0;
  // Sets the client's download trigger condition: "TRUE" while an update download is going
  // on, "FALSE" when it is over. Returns the library's answer (callers ignore it); 0 when
  // the library cannot be asked.
  virtual DWORD SetTriggerCondition(bool downloading) = 0;
  // Writes the installed client's version ("5.01.515") into buffer, cut to fit and
  // NUL-terminated. Returns false, writing nothing, when the client reports no version.
  [[nodiscard]] virtual bool InstalledVersion(std::span<wchar_t> buffer) = 0;
};

// Writes a packed client version (bits 24-31 major, 16-23 minor, 0-15 build) as
// "%u.%02u.%u" into buffer, cut to fit. Returns false, writing nothing, for version 0 (no
// version) or a buffer without room for a terminator.
[[nodiscard]] bool FormatClientVersion(DWORD version, std::span<wchar_t> buffer) noexcept;

// The production port. Every call loads the library from the system directory only, calls
// the export by name and frees the library again; nothing is cached. A missing library or
// export gives the defaults (network type 0, not connected, result 0, no version).
class LibraryClientApi final : public ClientApi {
 public:
  // library: the file name looked up in the system directory (kClientApiLibrary; tests
  // name other files to show where it is looked up). Must outlive the object.
  explicit LibraryClientApi(const wchar_t* library = kClientApiLibrary) noexcept : library_(library) {}

  [[nodiscard]] DWORD NetworkType() override;
  [[nodiscard]] bool IsConnected() override;
  DWORD SetTriggerCondition(bool downloading) override;
  [[nodiscard]] bool InstalledVersion(std::span<wchar_t> buffer) override;

 private:
  const wchar_t* library_;
};

}  // namespace qfu::worker
