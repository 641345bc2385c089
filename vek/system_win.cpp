#include "vek/system_win.h"

#include "vek/win32.h"

#include <bcrypt.h>
#include <objbase.h>
#include <oleauto.h>

#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "vek/handles_win.h"
#include "vek/system.h"
#include "vek/win32.h"

namespace vek {
namespace {

struct ComRelease {
  void operator()(IUnknown* p) const {
    if (p) p->Release();
  }
};
template <class T>
using com_ptr = std::unique_ptr<T, ComRelease>;

struct VariantOwner {
  VARIANT v;
  VariantOwner() { VariantInit(&v); }
  ~VariantOwner() { VariantClear(&v); }
  VariantOwner(const VariantOwner&) = delete;
  VariantOwner& operator=(const VariantOwner&) = delete;
};

struct BstrOwner {
  BSTR s;
  explicit BstrOwner(const wchar_t* text) : s(SysAllocString(text)) {}
  ~BstrOwner() { SysFreeString(s); }
  BstrOwner(const BstrOwner&) = delete;
  BstrOwner& operator=(const BstrOwner&) = delete;
};

// Late-bound property get or method call on a scripting object, the way a script
// host calls WMI's SWbem objects.
HRESULT Invoke(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT argCount, VARIANT* result) {
  DISPID id = 0;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS params{args, nullptr, argCount, 0};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
}

std::optional<Text> PropertyText(IDispatch* item, const wchar_t* name) {
  VariantOwner value;
  if (FAILED(Invoke(item, name, DISPATCH_PROPERTYGET, nullptr, 0, &value.v))) return std::nullopt;
  if (value.v.vt == VT_NULL || value.v.vt == VT_EMPTY) return std::nullopt;
  if (value.v.vt != VT_BSTR && FAILED(VariantChangeType(&value.v, &value.v, 0, VT_BSTR))) return std::nullopt;
  return U(value.v.bstrVal ? value.v.bstrVal : L"");
}

// SWbemLocator of wbemdisp, the scripting objects' own entry point.
constexpr CLSID kSWbemLocator = {0x76A64158, 0xCB41, 0x11D1, {0x8B, 0x02, 0x00, 0x60, 0x08, 0x06, 0xD9, 0xB6}};

// The services object of root\cimv2 on this machine. The locator answers at
// once; the "winmgmts:" moniker reaches the same object, but under Wine its
// class-moniker lookup first waits ten seconds for an RPC service that does not
// start, so it is only the second way.
com_ptr<IDispatch> ConnectServices(IBindCtx* ctx) {
  IDispatch* rawLocator = nullptr;
  if (SUCCEEDED(CoCreateInstance(kSWbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                 reinterpret_cast<void**>(&rawLocator))) && rawLocator) {
    com_ptr<IDispatch> locator(rawLocator);
    VariantOwner args[2];  // positional arguments go in reverse order
    args[1].v.vt = VT_BSTR;
    args[1].v.bstrVal = SysAllocString(L".");
    args[0].v.vt = VT_BSTR;
    args[0].v.bstrVal = SysAllocString(L"root\\cimv2");
    VARIANT raw[2] = {args[0].v, args[1].v};
    VariantOwner services;
    if (SUCCEEDED(Invoke(locator.get(), L"ConnectServer", DISPATCH_METHOD, raw, 2, &services.v)) &&
        services.v.vt == VT_DISPATCH && services.v.pdispVal) {
      services.v.pdispVal->AddRef();
      return com_ptr<IDispatch>(services.v.pdispVal);
    }
  }
  IMoniker* rawMoniker = nullptr;
  ULONG eaten = 0;
  if (FAILED(MkParseDisplayNameEx(ctx, L"winmgmts:\\\\.\\root\\cimv2", &eaten, &rawMoniker)) || !rawMoniker)
    return nullptr;
  com_ptr<IMoniker> moniker(rawMoniker);
  IUnknown* rawServices = nullptr;
  if (FAILED(moniker->BindToObject(ctx, nullptr, IID_IUnknown, reinterpret_cast<void**>(&rawServices))) ||
      !rawServices)
    return nullptr;
  com_ptr<IUnknown> servicesUnknown(rawServices);
  IDispatch* rawDispatch = nullptr;
  if (FAILED(servicesUnknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&rawDispatch))))
    return nullptr;
  return com_ptr<IDispatch>(rawDispatch);
}

// Walks Win32_NetworkAdapter. Whatever was read before a failure stands.
std::vector<NetworkAdapter> QueryAdapters() {
  std::vector<NetworkAdapter> adapters;
  IBindCtx* rawCtx = nullptr;
  if (FAILED(CreateBindCtx(0, &rawCtx))) return adapters;
  com_ptr<IBindCtx> ctx(rawCtx);
  com_ptr<IDispatch> services = ConnectServices(ctx.get());
  if (!services) return adapters;

  BstrOwner query(L"SELECT * FROM Win32_NetworkAdapter WHERE PhysicalAdapter = 1");
  VariantOwner arg;
  arg.v.vt = VT_BSTR;
  arg.v.bstrVal = SysAllocString(query.s);
  VariantOwner collection;
  if (FAILED(Invoke(services.get(), L"ExecQuery", DISPATCH_METHOD, &arg.v, 1, &collection.v)) ||
      collection.v.vt != VT_DISPATCH || !collection.v.pdispVal)
    return adapters;

  VariantOwner enumVariant;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (FAILED(collection.v.pdispVal->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT,
                                           DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, &enumVariant.v, nullptr,
                                           nullptr)))
    return adapters;
  IUnknown* enumUnknown = (enumVariant.v.vt == VT_UNKNOWN || enumVariant.v.vt == VT_DISPATCH) ? enumVariant.v.punkVal : nullptr;
  if (!enumUnknown) return adapters;
  IEnumVARIANT* rawEnum = nullptr;
  if (FAILED(enumUnknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&rawEnum))) || !rawEnum)
    return adapters;
  com_ptr<IEnumVARIANT> items(rawEnum);

  for (;;) {
    VariantOwner item;
    ULONG fetched = 0;
    if (items->Next(1, &item.v, &fetched) != S_OK || fetched != 1) break;
    if (item.v.vt != VT_DISPATCH || !item.v.pdispVal) break;
    NetworkAdapter adapter;
    adapter.Name = PropertyText(item.v.pdispVal, L"Name").value_or(Text());
    adapter.MACAddress = PropertyText(item.v.pdispVal, L"MACAddress");
    adapters.push_back(std::move(adapter));
  }
  return adapters;
}

struct AlgorithmOwner {
  BCRYPT_ALG_HANDLE h = nullptr;
  ~AlgorithmOwner() {
    if (h) BCryptCloseAlgorithmProvider(h, 0);
  }
};
struct HashOwner {
  BCRYPT_HASH_HANDLE h = nullptr;
  ~HashOwner() {
    if (h) BCryptDestroyHash(h);
  }
};

}  // namespace

// CNG's SHA-1 exists on every supported Windows and in Wine; a failure gives a
// digest the key's callers cannot tell from a real one.
std::array<uint8_t, 20> Sha1(std::string_view bytes) {
  std::array<uint8_t, 20> digest{};
  AlgorithmOwner alg;
  if (BCryptOpenAlgorithmProvider(&alg.h, BCRYPT_SHA1_ALGORITHM, nullptr, 0) != 0) return digest;
  HashOwner hash;
  if (BCryptCreateHash(alg.h, &hash.h, nullptr, 0, nullptr, 0, 0) != 0) return digest;
  if (BCryptHashData(hash.h, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), ULONG(bytes.size()), 0) != 0)
    return digest;
  BCryptFinishHash(hash.h, digest.data(), ULONG(digest.size()), 0);
  return digest;
}

Text GetUnionKey() {
  Text macText;
  try {
    macText = MacTextFromAdapters(QueryAdapters());
  } catch (...) {
  }
  return UnionKeyFromMacText(macText, Sha1);
}

void SetPrivilege(TextView name, bool enable) {
  unique_handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put())) return;
  TOKEN_PRIVILEGES tp{};
  tp.PrivilegeCount = 1;
  Text n(name);
  if (!LookupPrivilegeValueW(nullptr, W(n), &tp.Privileges[0].Luid)) return;
  tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  AdjustTokenPrivileges(token.get(), FALSE, &tp, sizeof(tp), nullptr, nullptr);
}

void DisableWow64FsRedirection(bool disable) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (!kernel32) return;
  using Enable = BOOLEAN(WINAPI*)(BOOLEAN);
  using Disable = BOOL(WINAPI*)(PVOID*);
  auto enableFn = reinterpret_cast<Enable>(reinterpret_cast<void*>(GetProcAddress(kernel32, "Wow64EnableWow64FsRedirection")));
  auto disableFn = reinterpret_cast<Disable>(reinterpret_cast<void*>(GetProcAddress(kernel32, "Wow64DisableWow64FsRedirection")));
  if (!enableFn || !disableFn) return;
  if (disable) {
    PVOID old = nullptr;
    disableFn(&old);
  } else {
    enableFn(TRUE);
  }
}

}  // namespace vek
