#include "vek/system_win.h"

#include <array>
#include <optional>
#include <vector>

#include "vek/handles_win.h"
#include "vek/system.h"

namespace vek {
namespace {

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
  unique_variant value;
  if (FAILED(Invoke(item, name, DISPATCH_PROPERTYGET, nullptr, 0, value.put()))) return std::nullopt;
  if (value->vt == VT_NULL || value->vt == VT_EMPTY) return std::nullopt;
  if (value->vt != VT_BSTR && FAILED(VariantChangeType(value.get(), value.get(), 0, VT_BSTR))) return std::nullopt;
  return U(value->bstrVal ? value->bstrVal : L"");
}

// SWbemLocator of wbemdisp, the scripting objects' own entry point.
constexpr CLSID kSWbemLocator = {0x76A64158, 0xCB41, 0x11D1, {0x8B, 0x02, 0x00, 0x60, 0x08, 0x06, 0xD9, 0xB6}};

// The services object of root\cimv2 on this machine. The locator answers at
// once; the "winmgmts:" moniker reaches the same object, but under Wine its
// class-moniker lookup first waits ten seconds for an RPC service that does not
// start, so it is only the second way.
com_ptr<IDispatch> ConnectServices(IBindCtx* ctx) {
  com_ptr<IDispatch> locator;
  if (SUCCEEDED(CoCreateInstance(kSWbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, locator.put_void())) &&
      locator) {
    // Positional arguments go in reverse order: namespace, then server.
    unique_variant args[2] = {unique_variant(L"root\\cimv2"), unique_variant(L".")};
    VARIANT raw[2] = {*args[0].get(), *args[1].get()};
    unique_variant services;
    if (SUCCEEDED(Invoke(locator.get(), L"ConnectServer", DISPATCH_METHOD, raw, 2, services.put())) &&
        services->vt == VT_DISPATCH && services->pdispVal)
      return com_ptr<IDispatch>::from_borrowed(services->pdispVal);
  }
  com_ptr<IMoniker> moniker;
  ULONG eaten = 0;
  if (FAILED(MkParseDisplayNameEx(ctx, L"winmgmts:\\\\.\\root\\cimv2", &eaten, moniker.put())) || !moniker)
    return com_ptr<IDispatch>();
  com_ptr<IUnknown> servicesUnknown;
  if (FAILED(moniker->BindToObject(ctx, nullptr, IID_IUnknown, servicesUnknown.put_void())) || !servicesUnknown)
    return com_ptr<IDispatch>();
  com_ptr<IDispatch> dispatch;
  if (FAILED(servicesUnknown->QueryInterface(IID_IDispatch, dispatch.put_void()))) return com_ptr<IDispatch>();
  return dispatch;
}

// Walks Win32_NetworkAdapter. Whatever was read before a failure stands.
std::vector<NetworkAdapter> QueryAdapters() {
  std::vector<NetworkAdapter> adapters;
  com_ptr<IBindCtx> ctx;
  if (FAILED(CreateBindCtx(0, ctx.put()))) return adapters;
  com_ptr<IDispatch> services = ConnectServices(ctx.get());
  if (!services) return adapters;

  unique_variant query(L"SELECT * FROM Win32_NetworkAdapter WHERE PhysicalAdapter = 1");
  unique_variant collection;
  if (FAILED(Invoke(services.get(), L"ExecQuery", DISPATCH_METHOD, query.get(), 1, collection.put())) ||
      collection->vt != VT_DISPATCH || !collection->pdispVal)
    return adapters;

  unique_variant enumVariant;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  if (FAILED(collection->pdispVal->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT,
                                          DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, enumVariant.put(), nullptr,
                                          nullptr)))
    return adapters;
  IUnknown* enumUnknown = (enumVariant->vt == VT_UNKNOWN || enumVariant->vt == VT_DISPATCH) ? enumVariant->punkVal : nullptr;
  if (!enumUnknown) return adapters;
  com_ptr<IEnumVARIANT> items;
  if (FAILED(enumUnknown->QueryInterface(IID_IEnumVARIANT, items.put_void())) || !items) return adapters;

  for (;;) {
    unique_variant item;
    ULONG fetched = 0;
    if (items->Next(1, item.put(), &fetched) != S_OK || fetched != 1) break;
    if (item->vt != VT_DISPATCH || !item->pdispVal) break;
    NetworkAdapter adapter;
    adapter.Name = PropertyText(item->pdispVal, L"Name").value_or(Text());
    adapter.MACAddress = PropertyText(item->pdispVal, L"MACAddress");
    adapters.push_back(std::move(adapter));
  }
  return adapters;
}

}  // namespace

// CNG's SHA-1 exists on every supported Windows and in Wine; a failure gives a
// digest the key's callers cannot tell from a real one.
std::array<uint8_t, 20> Sha1(std::string_view bytes) {
  std::array<uint8_t, 20> digest{};
  unique_bcrypt_algorithm alg;
  if (BCryptOpenAlgorithmProvider(alg.put(), BCRYPT_SHA1_ALGORITHM, nullptr, 0) != 0) return digest;
  unique_bcrypt_hash hash;
  if (BCryptCreateHash(alg.get(), hash.put(), nullptr, 0, nullptr, 0, 0) != 0) return digest;
  if (BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())), ULONG(bytes.size()), 0) !=
      0)
    return digest;
  BCryptFinishHash(hash.get(), digest.data(), ULONG(digest.size()), 0);
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
  using Enable = BOOLEAN(WINAPI*)(BOOLEAN);
  using Disable = BOOL(WINAPI*)(PVOID*);
  const auto enableFn = GetProc<Enable>(L"kernel32.dll", "Wow64EnableWow64FsRedirection");
  const auto disableFn = GetProc<Disable>(L"kernel32.dll", "Wow64DisableWow64FsRedirection");
  if (!enableFn || !disableFn) return;
  if (disable) {
    PVOID old = nullptr;
    disableFn(&old);
  } else {
    enableFn(TRUE);
  }
}

void GuaranteeFaultStack() {
  // Windows keeps this much of the stack back after the guard page is hit,
  // enough for the exception's dispatch and the handler's copy and wait.
  ULONG bytes = 64 * 1024;
  SetThreadStackGuarantee(&bytes);
}

}  // namespace vek
