#pragma once
// Owners for the Win32 handles the program holds. Each kind knows its own invalid
// value and its own close call; none converts implicitly to the raw handle.
// Closing keeps the thread's last-error value, so a caller that returns after a
// failed call can still read why it failed once its locals are gone.
#include <utility>

#include "vek/win32.h"

#include <objbase.h>

namespace vek {

template <typename Traits>
class unique_any {
 public:
  using pointer = typename Traits::pointer;

  unique_any() noexcept : h_(Traits::invalid()) {}
  explicit unique_any(pointer h) noexcept : h_(h) {}
  unique_any(unique_any&& other) noexcept : h_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  ~unique_any() { reset(); }

  pointer get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != Traits::invalid(); }

  pointer release() noexcept { return std::exchange(h_, Traits::invalid()); }

  void reset(pointer h = Traits::invalid()) noexcept {
    pointer old = std::exchange(h_, h);
    if (old != Traits::invalid()) {
      DWORD saved = GetLastError();
      Traits::close(old);
      SetLastError(saved);
    }
  }

  // For out-parameters of the creating call: frees what is held first.
  pointer* put() noexcept {
    reset();
    return &h_;
  }

 private:
  pointer h_;
};

namespace handle_traits {

struct hkey {
  using pointer = HKEY;
  static HKEY invalid() noexcept { return nullptr; }
  static void close(HKEY h) noexcept { RegCloseKey(h); }
};

// OpenProcess, CreateEvent, CreateThread: null means no handle.
struct handle {
  using pointer = HANDLE;
  static HANDLE invalid() noexcept { return nullptr; }
  static void close(HANDLE h) noexcept { CloseHandle(h); }
};

// CreateToolhelp32Snapshot and CreateFile report failure as INVALID_HANDLE_VALUE.
struct snapshot {
  using pointer = HANDLE;
  static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) noexcept { CloseHandle(h); }
};

struct hicon {
  using pointer = HICON;
  static HICON invalid() noexcept { return nullptr; }
  static void close(HICON h) noexcept { DestroyIcon(h); }
};

// Modules this code loaded itself (LoadLibrary); never a GetModuleHandle result.
struct hmodule {
  using pointer = HMODULE;
  static HMODULE invalid() noexcept { return nullptr; }
  static void close(HMODULE h) noexcept { FreeLibrary(h); }
};

// Memory the shell hands out with the COM task allocator (item identifier lists).
struct cotaskmem {
  using pointer = void*;
  static void* invalid() noexcept { return nullptr; }
  static void close(void* p) noexcept { CoTaskMemFree(p); }
};

}  // namespace handle_traits

using unique_hkey = unique_any<handle_traits::hkey>;
using unique_handle = unique_any<handle_traits::handle>;
using unique_snapshot = unique_any<handle_traits::snapshot>;
using unique_hfile = unique_any<handle_traits::snapshot>;
using unique_hicon = unique_any<handle_traits::hicon>;
using unique_hmodule = unique_any<handle_traits::hmodule>;
using unique_cotaskmem = unique_any<handle_traits::cotaskmem>;

}  // namespace vek
