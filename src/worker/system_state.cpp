#include "worker/system_state.h"

#include <oaidl.h>
#include <objbase.h>

#include <wrl/client.h>

#include "common/handle.h"
#include "worker/session_rules.h"

namespace qfu::worker {
namespace {

// The Windows Update Agent's classes and the two interfaces the worker reads, declared here
// with their published identifiers. Each interface lists its vtable in the published order up
// to the one property read; nothing after it is ever called.
constexpr CLSID kSystemInformationClass = {
    0xC01B9BA0, 0xBEA7, 0x41BA, {0xB6, 0x04, 0xD0, 0xA3, 0x6F, 0x46, 0x91, 0x33}};
constexpr IID kSystemInformationInterface = {
    0xADE87BF7, 0x7B56, 0x4275, {0x8F, 0xAB, 0xB9, 0xB0, 0xE5, 0x91, 0x84, 0x4B}};
constexpr CLSID kUpdateInstallerClass = {
    0xD2E0FE7F, 0xD23E, 0x48E1, {0x93, 0xC0, 0x6F, 0xA8, 0xCC, 0x34, 0x64, 0x74}};
constexpr IID kUpdateInstallerInterface = {
    0x7B929C68, 0xCCDC, 0x4226, {0x96, 0xB1, 0x87, 0x24, 0x60, 0x0B, 0x54, 0xC2}};

struct ISystemInformationPrefix : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_OemHardwareSupportLink(BSTR* link) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RebootRequired(VARIANT_BOOL* required) = 0;
};

struct IUpdateInstallerPrefix : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_ClientApplicationID(BSTR* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ClientApplicationID(BSTR id) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsForced(VARIANT_BOOL* forced) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_IsForced(VARIANT_BOOL forced) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ParentHwnd(HWND* window) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ParentHwnd(HWND window) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ParentWindow(IUnknown* window) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ParentWindow(IUnknown** window) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Updates(IDispatch** updates) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Updates(IDispatch* updates) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginInstall(IUnknown* progress, IUnknown* completed, VARIANT state,
                                                 IDispatch** job) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginUninstall(IUnknown* progress, IUnknown* completed, VARIANT state,
                                                   IDispatch** job) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndInstall(IDispatch* job, IDispatch** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndUninstall(IDispatch* job, IDispatch** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Install(IDispatch** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE RunWizard(BSTR title, IDispatch** result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsBusy(VARIANT_BOOL* busy) = 0;
};

// COM on the calling thread for one query, uninitialised again so that no COM state outlives
// the query. Only an initialisation that succeeded (S_OK, or S_FALSE when the thread had it
// already) is undone: after RPC_E_CHANGED_MODE the thread's COM belongs to its owner, and an
// uninitialisation would tear it down under them. The query still runs in that apartment.
class ComScope {
 public:
  ComScope() noexcept : initialised_(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (initialised_) ::CoUninitialize();
  }

 private:
  bool initialised_;
};

// Creates the class's object through the interface and reads one VARIANT_BOOL property of it;
// true only when both succeed and the property is VARIANT_TRUE.
template <typename Interface>
[[nodiscard]] bool ReadFlag(const CLSID& class_id, const IID& interface_id,
                            HRESULT (STDMETHODCALLTYPE Interface::*property)(VARIANT_BOOL*)) {
  const ComScope com;
  VARIANT_BOOL value = VARIANT_FALSE;
  {
    // Released before COM is uninitialised.
    Microsoft::WRL::ComPtr<Interface> object;
    if (::CoCreateInstance(class_id, nullptr, CLSCTX_INPROC_SERVER, interface_id,
                           reinterpret_cast<void**>(object.GetAddressOf())) != S_OK ||
        !object) {
      return false;
    }
    if (((*object.Get()).*property)(&value) != S_OK) return false;
  }
  return value == VARIANT_TRUE;
}

}  // namespace

bool WindowsSystemState::RestartPending() {
  return ReadFlag<ISystemInformationPrefix>(kSystemInformationClass, kSystemInformationInterface,
                                            &ISystemInformationPrefix::get_RebootRequired);
}

bool WindowsSystemState::InstallerBusy() {
  return ReadFlag<IUpdateInstallerPrefix>(kUpdateInstallerClass, kUpdateInstallerInterface,
                                          &IUpdateInstallerPrefix::get_IsBusy);
}

DWORD WindowsSystemState::LoggedOnUserCount() {
  WTS_SESSION_INFOW* sessions = nullptr;
  DWORD session_count = 0;
  if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &session_count)) return 0;
  const UniqueWtsMemory session_memory(sessions);

  DWORD users = 0;
  for (DWORD i = 0; i < session_count; ++i) {
    const WTS_SESSION_INFOW& session = sessions[i];
    if (!SessionStateMayCount(static_cast<std::uint32_t>(session.State))) continue;
    LPWSTR name = nullptr;
    DWORD name_bytes = 0;
    if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session.SessionId, WTSUserName, &name,
                                       &name_bytes)) {
      continue;
    }
    const UniqueWtsMemory name_memory(name);
    // An empty buffer holds no name, not even its terminator.
    const std::uint16_t first_unit =
        name != nullptr && name_bytes >= sizeof(wchar_t) ? static_cast<std::uint16_t>(name[0]) : 0;
    if (SessionHasLoggedOnUser(static_cast<std::uint32_t>(session.State), first_unit)) ++users;
  }
  return users;
}

}  // namespace qfu::worker
