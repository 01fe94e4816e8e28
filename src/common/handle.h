#pragma once
// One owner for every kind of Windows handle: a move-only wrapper parameterised by a traits
// type that names the invalid value and the closing call. Each kind gets its own alias so
// the compiler keeps them apart; subsystems that own a kind of their own (WinHTTP handles,
// certificate contexts) declare its traits beside their code with the same template.
#include <windows.h>

#include <wtsapi32.h>

#include <utility>

namespace qfu {

template <typename Traits>
class UniqueAny {
 public:
  using Type = typename Traits::Type;

  UniqueAny() noexcept = default;
  explicit UniqueAny(Type value) noexcept : value_(value) {}
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueAny() { reset(); }

  [[nodiscard]] Type get() const noexcept { return value_; }
  [[nodiscard]] bool valid() const noexcept { return value_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Closes the held value (if any) and takes the new one.
  void reset(Type value = Traits::Invalid()) noexcept {
    if (valid()) Traits::Close(value_);
    value_ = value;
  }
  // Gives up ownership without closing.
  [[nodiscard]] Type release() noexcept { return std::exchange(value_, Traits::Invalid()); }
  // Closes the held value and returns a place for an out-parameter to fill.
  [[nodiscard]] Type* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Type value_ = Traits::Invalid();
};

struct KernelHandleTraits {  // events, mutexes, threads, processes, timers: invalid is null
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct FileHandleTraits {  // files and pipe instances: invalid is INVALID_HANDLE_VALUE
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct RegKeyTraits {
  using Type = HKEY;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::RegCloseKey(h); }
};
struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::CloseServiceHandle(h); }
};
struct ModuleTraits {
  using Type = HMODULE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::FreeLibrary(h); }
};
struct EventSourceTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::DeregisterEventSource(h); }
};
struct LocalMemoryTraits {
  using Type = HLOCAL;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::LocalFree(h); }
};

struct WtsMemoryTraits {  // buffers the Remote Desktop Services session functions allocate
  using Type = void*;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type h) noexcept { ::WTSFreeMemory(h); }
};

using UniqueHandle = UniqueAny<KernelHandleTraits>;
using UniqueFile = UniqueAny<FileHandleTraits>;
using UniqueHkey = UniqueAny<RegKeyTraits>;
using UniqueServiceHandle = UniqueAny<ServiceHandleTraits>;
using UniqueModule = UniqueAny<ModuleTraits>;
using UniqueEventSource = UniqueAny<EventSourceTraits>;
using UniqueLocalMemory = UniqueAny<LocalMemoryTraits>;
using UniqueWtsMemory = UniqueAny<WtsMemoryTraits>;

}  // namespace qfu
