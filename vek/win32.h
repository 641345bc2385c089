#pragma once
// The one place that includes <windows.h>. MinGW's default target version is too
// old for the calls the program makes (QueryFullProcessImageNameW, per-monitor DPI).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#undef WINVER
#define WINVER 0x0A00
#include <windows.h>

#include <string>
#include <string_view>

namespace vek {

// On Windows a wchar_t and a char16_t are the same 16 bits; these two convert the
// program's texts at the Win32 boundary without copying.
inline const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
inline std::u16string U(const wchar_t* s) {
  return s ? std::u16string(reinterpret_cast<const char16_t*>(s)) : std::u16string();
}
inline std::u16string U(const wchar_t* s, size_t n) {
  return std::u16string(reinterpret_cast<const char16_t*>(s), n);
}

// An entry point looked up at run time, as the function type the caller names;
// null when the module is null or does not export the name (an older Windows).
// GetProcAddress returns a generic FARPROC, so the cast goes through void*.
template <typename Fn>
Fn GetProc(HMODULE module, const char* name) {
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}
// The same in a module the process has loaded already (kernel32, user32, ...).
template <typename Fn>
Fn GetProc(const wchar_t* loadedModule, const char* name) {
  return GetProc<Fn>(GetModuleHandleW(loadedModule), name);
}

}  // namespace vek
