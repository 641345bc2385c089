#pragma once
// Owners for the Win32 handles and resources the program holds. Each kind knows
// its own invalid value and its own close call; none converts implicitly to the
// raw handle. Closing keeps the thread's last-error value, so a caller that
// returns after a failed call can still read why it failed once its locals are
// gone. Scopes (paint, select, window DC) undo their call when they end.
#include <utility>

#include "vek/win32.h"

#include <bcrypt.h>
#include <commctrl.h>
#include <objbase.h>
#include <oleauto.h>
#include <winhttp.h>
#include <winsvc.h>

namespace vek {

template <typename Traits>
class unique_any {
 public:
  using pointer = typename Traits::pointer;

  unique_any() noexcept : FHandle(Traits::invalid()) {}
  explicit unique_any(pointer h) noexcept : FHandle(h) {}
  unique_any(unique_any&& other) noexcept : FHandle(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  ~unique_any() { reset(); }

  pointer get() const noexcept { return FHandle; }
  explicit operator bool() const noexcept { return FHandle != Traits::invalid(); }

  pointer release() noexcept { return std::exchange(FHandle, Traits::invalid()); }

  void reset(pointer h = Traits::invalid()) noexcept {
    pointer old = std::exchange(FHandle, h);
    if (old != Traits::invalid()) {
      DWORD saved = GetLastError();
      Traits::close(old);
      SetLastError(saved);
    }
  }

  // For out-parameters of the creating call: frees what is held first.
  pointer* put() noexcept {
    reset();
    return &FHandle;
  }

 private:
  pointer FHandle;
};

namespace handle_traits {

// Handles whose invalid value is null and whose close is one call taking the
// handle alone.
template <typename Handle, auto Close>
struct null_invalid {
  using pointer = Handle;
  static Handle invalid() noexcept { return nullptr; }
  static void close(Handle h) noexcept { Close(h); }
};

// CreateToolhelp32Snapshot, CreateFile and FindFirstFile report failure as
// INVALID_HANDLE_VALUE.
template <auto Close>
struct minus_one_invalid {
  using pointer = HANDLE;
  static HANDLE invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) noexcept { Close(h); }
};

inline void CloseAlgorithm(BCRYPT_ALG_HANDLE h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }

}  // namespace handle_traits

using unique_hkey = unique_any<handle_traits::null_invalid<HKEY, RegCloseKey>>;
// OpenProcess, CreateEvent, CreateThread, CreateMutex: null means no handle.
using unique_handle = unique_any<handle_traits::null_invalid<HANDLE, CloseHandle>>;
using unique_snapshot = unique_any<handle_traits::minus_one_invalid<CloseHandle>>;
using unique_hfile = unique_any<handle_traits::minus_one_invalid<CloseHandle>>;
using unique_hfind = unique_any<handle_traits::minus_one_invalid<FindClose>>;
using unique_hicon = unique_any<handle_traits::null_invalid<HICON, DestroyIcon>>;
// A view of a file mapping (MapViewOfFile).
using unique_mapview = unique_any<handle_traits::null_invalid<void*, UnmapViewOfFile>>;
// Modules this code loaded itself (LoadLibrary); never a GetModuleHandle result.
using unique_hmodule = unique_any<handle_traits::null_invalid<HMODULE, FreeLibrary>>;
// Memory the shell hands out with the COM task allocator (item identifier lists).
using unique_cotaskmem = unique_any<handle_traits::null_invalid<void*, CoTaskMemFree>>;
using unique_bstr = unique_any<handle_traits::null_invalid<BSTR, SysFreeString>>;
// GDI objects this code created; never a stock object or one a control still uses.
using unique_hfont = unique_any<handle_traits::null_invalid<HFONT, DeleteObject>>;
using unique_hbrush = unique_any<handle_traits::null_invalid<HBRUSH, DeleteObject>>;
using unique_hbitmap = unique_any<handle_traits::null_invalid<HBITMAP, DeleteObject>>;
// Memory device contexts (CreateCompatibleDC); a window's DC is a window_dc.
using unique_hdc = unique_any<handle_traits::null_invalid<HDC, DeleteDC>>;
using unique_himagelist = unique_any<handle_traits::null_invalid<HIMAGELIST, ImageList_Destroy>>;
// WinHTTP sessions, connections and requests alike.
using unique_hinternet = unique_any<handle_traits::null_invalid<HINTERNET, WinHttpCloseHandle>>;
// The service control manager and the services opened through it
// (OpenSCManager, OpenService); both close with CloseServiceHandle.
using unique_schandle = unique_any<handle_traits::null_invalid<SC_HANDLE, CloseServiceHandle>>;
using unique_bcrypt_algorithm = unique_any<handle_traits::null_invalid<BCRYPT_ALG_HANDLE, handle_traits::CloseAlgorithm>>;
using unique_bcrypt_hash = unique_any<handle_traits::null_invalid<BCRYPT_HASH_HANDLE, BCryptDestroyHash>>;

// One reference to a COM object, released when the owner goes.
template <typename T>
class com_ptr {
 public:
  com_ptr() noexcept = default;
  explicit com_ptr(T* p) noexcept : FPointer(p) {}
  com_ptr(com_ptr&& other) noexcept : FPointer(std::exchange(other.FPointer, nullptr)) {}
  com_ptr& operator=(com_ptr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.FPointer, nullptr));
    return *this;
  }
  com_ptr(const com_ptr&) = delete;
  com_ptr& operator=(const com_ptr&) = delete;
  ~com_ptr() { reset(); }

  T* get() const noexcept { return FPointer; }
  T* operator->() const noexcept { return FPointer; }
  explicit operator bool() const noexcept { return FPointer != nullptr; }
  void reset(T* p = nullptr) noexcept {
    if (T* old = std::exchange(FPointer, p)) old->Release();
  }
  // For out-parameters of the creating call: releases what is held first.
  T** put() noexcept {
    reset();
    return &FPointer;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

  // A further reference to an object someone else holds (AddRef), or null.
  static com_ptr from_borrowed(T* p) noexcept {
    if (p) p->AddRef();
    return com_ptr(p);
  }

 private:
  T* FPointer = nullptr;
};

// COM on the calling thread for a scope. A thread that already has an apartment
// keeps it (the main thread's STA; a worker's MTA, for which CoInitializeEx
// answers RPC_E_CHANGED_MODE); only a call that succeeded here is undone, so
// the scope never ends COM for a caller that had it before. Declare it before
// the COM owners it serves, which must be released first.
class com_init_scope {
 public:
  explicit com_init_scope(DWORD model = COINIT_APARTMENTTHREADED) noexcept : FResult(CoInitializeEx(nullptr, model)) {}
  ~com_init_scope() {
    if (SUCCEEDED(FResult)) CoUninitialize();
  }
  com_init_scope(const com_init_scope&) = delete;
  com_init_scope& operator=(const com_init_scope&) = delete;
  // Whether the thread may make COM calls: initialised here or before.
  bool usable() const noexcept { return SUCCEEDED(FResult) || FResult == RPC_E_CHANGED_MODE; }
  HRESULT result() const noexcept { return FResult; }

 private:
  HRESULT FResult;
};

// A VARIANT that is cleared (releasing the string, object or array it holds)
// when it goes.
class unique_variant {
 public:
  unique_variant() noexcept { VariantInit(&FVariant); }
  // A string VARIANT holding a copy of text; VT_EMPTY when it cannot be made.
  explicit unique_variant(const wchar_t* text) noexcept : unique_variant() {
    if (BSTR s = SysAllocString(text)) {
      FVariant.vt = VT_BSTR;
      FVariant.bstrVal = s;
    }
  }
  ~unique_variant() { VariantClear(&FVariant); }
  unique_variant(const unique_variant&) = delete;
  unique_variant& operator=(const unique_variant&) = delete;

  VARIANT* get() noexcept { return &FVariant; }
  const VARIANT* get() const noexcept { return &FVariant; }
  VARIANT* operator->() noexcept { return &FVariant; }
  const VARIANT* operator->() const noexcept { return &FVariant; }
  // Clears what is held first, for out-parameters.
  VARIANT* put() noexcept {
    VariantClear(&FVariant);
    return &FVariant;
  }

 private:
  VARIANT FVariant;
};

// BeginPaint in the constructor, EndPaint when the scope ends.
class paint_scope {
 public:
  explicit paint_scope(HWND window) noexcept : FWindow(window), FDc(BeginPaint(window, &FPaint)) {}
  ~paint_scope() { EndPaint(FWindow, &FPaint); }
  paint_scope(const paint_scope&) = delete;
  paint_scope& operator=(const paint_scope&) = delete;
  HDC dc() const noexcept { return FDc; }

 private:
  HWND FWindow;
  PAINTSTRUCT FPaint{};
  HDC FDc;
};

// Selects an object into a DC and selects the previous one back when the scope
// ends, so that the object can be deleted afterwards.
class select_scope {
 public:
  select_scope(HDC dc, HGDIOBJ object) noexcept : FDc(dc), FOld(SelectObject(dc, object)) {}
  ~select_scope() {
    if (FOld && FOld != HGDI_ERROR) SelectObject(FDc, FOld);
  }
  select_scope(const select_scope&) = delete;
  select_scope& operator=(const select_scope&) = delete;

 private:
  HDC FDc;
  HGDIOBJ FOld;
};

// GetDC of a window (null: the screen), released when the scope ends.
class window_dc {
 public:
  explicit window_dc(HWND window) noexcept : FWindow(window), FDc(GetDC(window)) {}
  ~window_dc() {
    if (FDc) ReleaseDC(FWindow, FDc);
  }
  window_dc(const window_dc&) = delete;
  window_dc& operator=(const window_dc&) = delete;
  HDC get() const noexcept { return FDc; }

 private:
  HWND FWindow;
  HDC FDc;
};

}  // namespace vek
