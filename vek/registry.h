#pragma once
// Vek.Registry: the registry accessor TRegistry that every registry operation of
// the program goes through, and the backend seam beneath it. On Windows the
// backend is advapi32 (WindowsRegistry, registry_win.cpp); native tests put the
// in-memory registry of tests/support in its place. Nothing here throws.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "vek/text.h"

namespace vek {

// Predefined root keys, numbered as the registry API numbers them.
constexpr uint32_t kHkeyClassesRoot = 0x80000000;
constexpr uint32_t kHkeyCurrentUser = 0x80000001;
constexpr uint32_t kHkeyLocalMachine = 0x80000002;
constexpr uint32_t kHkeyUsers = 0x80000003;
constexpr uint32_t kHkeyPerformanceData = 0x80000004;
constexpr uint32_t kHkeyCurrentConfig = 0x80000005;
constexpr uint32_t kHkeyDynData = 0x80000006;

// Access rights of registry keys (winnt.h values).
constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kKeyNotify = 0x0010;
constexpr uint32_t kKeyCreateLink = 0x0020;
constexpr uint32_t kKeyWow64_64Key = 0x0100;
constexpr uint32_t kKeyWow64_32Key = 0x0200;
constexpr uint32_t kKeyWow64Res = kKeyWow64_64Key | kKeyWow64_32Key;
constexpr uint32_t kDeleteRight = 0x00010000;
constexpr uint32_t kStandardRightsRead = 0x00020000;
constexpr uint32_t kKeyRead = 0x00020019;
constexpr uint32_t kKeyWrite = 0x00020006;
constexpr uint32_t kKeyAllAccess = 0x000F003F;
// Any right that lets a handle change its key (values, subkeys, the key itself
// or its security), the generic ones included.
constexpr uint32_t kKeyChangeRights =
    kKeySetValue | kKeyCreateSubKey | kKeyCreateLink | kDeleteRight | 0x00040000 /* WRITE_DAC */ |
    0x00080000 /* WRITE_OWNER */ | 0x02000000 /* MAXIMUM_ALLOWED */ | 0x10000000 /* GENERIC_ALL */ |
    0x40000000 /* GENERIC_WRITE */;

// The program's two masks: every key in the 64-bit view, also from the 32-bit
// program; the 32-bit view only through explicit "Wow6432Node" paths.
constexpr uint32_t kRegReadAccess = kKeyRead | kKeyWow64_64Key;               // 0x20119
constexpr uint32_t kRegWriteAccess = kKeyRead | kKeyWrite | kKeyWow64_64Key;  // 0x2011F

// Value types (winnt.h REG_* numbers).
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegLink = 6;  // a registry link's "SymbolicLinkValue"
constexpr uint32_t kRegMultiSz = 7;
constexpr uint32_t kRegQword = 11;

// One value's type and raw data exactly as stored. Data of text types is UTF-16
// little-endian and need not end in a NUL nor have an even length.
struct RegValue {
  uint32_t Type = kRegNone;
  std::vector<uint8_t> Data;

  static RegValue String(TextView text, uint32_t type = kRegSz);  // NUL appended
  static RegValue Dword(uint32_t value);
  static RegValue Qword(uint64_t value);
  static RegValue Binary(std::vector<uint8_t> bytes);
  static RegValue MultiString(const std::vector<Text>& items);  // each NUL-ended, then a final NUL
  bool operator==(const RegValue&) const = default;
};

// Decoders of raw data; none reads past the data. A trailing odd byte is ignored.
Text RegDataText(const std::vector<uint8_t>& data);  // up to the first NUL
std::vector<Text> RegDataMultiString(const std::vector<uint8_t>& data);  // items up to the empty one
std::optional<uint32_t> RegDataDword(const std::vector<uint8_t>& data);  // needs 4 bytes or more
std::optional<uint64_t> RegDataQword(const std::vector<uint8_t>& data);  // needs 8 bytes or more

// One open key of a backend. Destroying it closes the key. Names and paths are
// relative to this key, with no leading backslash; an empty value name is the
// key's default value.
//
// Registry links: any user may make a key of theirs a link to any other key
// (REG_OPTION_CREATE_LINK and a REG_LINK value "SymbolicLinkValue"), and Windows
// follows a link wherever it meets one in a path. Reads may follow links; every
// change goes through OpenChild and DeleteTree, which never do.
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // Opens path below this key with the rights sam (view bits included),
  // following any link on the way: for reading only. Null when refused or
  // missing.
  virtual std::unique_ptr<RegistryKey> Open(const Text& path, uint32_t sam) = 0;
  // Opens, or with create makes, the key of one name directly below this key,
  // for a change. Never follows a link: null when that key is a link, when the
  // key reached is not that one below this key, or when refused; a key this call
  // made and then refused is removed again. An empty name opens a root itself.
  // Only on a root or on a key that OpenChild gave.
  virtual std::unique_ptr<RegistryKey> OpenChild(const Text& name, uint32_t sam, bool create) = 0;
  // The value's type and data in one query; nullopt when missing or unreadable.
  virtual std::optional<RegValue> Query(const Text& name) = 0;
  // The value's type alone; nullopt when missing or unreadable.
  virtual std::optional<uint32_t> QueryType(const Text& name) = 0;
  virtual bool Set(const Text& name, const RegValue& value) = 0;
  virtual bool DeleteValue(const Text& name) = 0;
  // Deletes the key of one name directly below this key with every key beneath
  // it, each after its subkeys, in the view that the view bits of sam name; the
  // first refusal ends the walk. Never follows a link: false, with nothing
  // deleted, when the named key is a link; a link beneath it is deleted as the
  // link key itself, its target untouched. Only where OpenChild may be called.
  virtual bool DeleteTree(const Text& name, uint32_t sam) = 0;
  // Replace the list's contents with the names, in the backend's enumeration
  // order; false (and an empty list) when the key may not be listed.
  virtual bool SubKeyNames(std::vector<Text>& names) = 0;
  virtual bool ValueNames(std::vector<Text>& names) = 0;
  // The platform key handle (an HKEY) for calls made outside this seam, such as
  // change notification; null for backends without one.
  virtual void* NativeHandle() const { return nullptr; }
};

class RegistryBackend {
 public:
  virtual ~RegistryBackend() = default;
  // The predefined key root as a key that is never closed; null for an unknown root.
  virtual std::unique_ptr<RegistryKey> Root(uint32_t root) = 0;
};

// The backend new accessors use. Until one is installed it is a backend in which
// every open fails. Installed once at start (Windows: WindowsRegistry()); tests
// swap it with ScopedRegistryBackend. Returns the previous one; null restores the
// failing default.
RegistryBackend& CurrentRegistry();
RegistryBackend* SetRegistryBackend(RegistryBackend* backend);

class ScopedRegistryBackend {
 public:
  explicit ScopedRegistryBackend(RegistryBackend& backend) : FPrevious(SetRegistryBackend(&backend)) {}
  ~ScopedRegistryBackend() { SetRegistryBackend(FPrevious); }
  ScopedRegistryBackend(const ScopedRegistryBackend&) = delete;
  ScopedRegistryBackend& operator=(const ScopedRegistryBackend&) = delete;

 private:
  RegistryBackend* FPrevious;
};

#ifdef _WIN32
// advapi32 behind the seam (registry_win.cpp).
RegistryBackend& WindowsRegistry();
#endif

// How the program classifies a value's type.
enum class RegDataType { Unknown, String, ExpandString, Integer, Binary };
RegDataType RegDataTypeOf(uint32_t type);

// The registry accessor: a root key, an access mask and at most one open key.
// Paths may begin with a backslash; a path with one, or any path while no key is
// open, is taken from the root key, any other from the open key. Reads return
// nullopt where the value is missing or of another type; writes and deletes
// return false and change nothing when no key is open or the registry refuses.
//
// No change ever goes through a registry link: an open that may create, or whose
// mask holds any of kKeyChangeRights, walks from the root one key at a time and
// fails, making nothing, when any key of the path is a link (the last one
// included); DeleteKey walks the same way and never descends through a link.
// Read-only opens follow links, so reads show what a link leads to. Windows
// makes a few keys links itself (such as HKCU\Software\Classes and
// HKLM\SYSTEM\CurrentControlSet): changes below them are refused as well.
class TRegistry {
 public:
  explicit TRegistry(uint32_t access, RegistryBackend& backend = CurrentRegistry());
  ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  uint32_t RootKey() const { return FRoot; }
  void SetRootKey(uint32_t root);  // closes the open key
  uint32_t Access() const { return FAccess; }
  void SetAccess(uint32_t access) { FAccess = access; }
  const Text& CurrentPath() const { return FPath; }  // without leading backslash
  bool HasKey() const { return FKey != nullptr; }
  void* CurrentKeyHandle() const;  // the platform handle of the open key, or null

  // Opens with the accessor's mask, or creates every missing key on the path.
  // With create or a mask that may change the key, never through a link.
  bool OpenKey(TextView path, bool create);
  // Tries KEY_READ, then STANDARD_RIGHTS_READ | KEY_QUERY_VALUE |
  // KEY_ENUMERATE_SUB_KEYS, then KEY_QUERY_VALUE, each with the mask's view
  // bits; the rights that opened the key become the accessor's mask.
  bool OpenKeyReadOnly(TextView path);
  void CloseKey();
  bool KeyExists(TextView path);  // opens and closes a key of its own

  bool ValueExists(const Text& name);
  RegDataType GetDataType(const Text& name);  // Unknown when missing
  // Existence, type and data of a value in one query.
  std::optional<RegValue> ReadValue(const Text& name);
  // REG_SZ or REG_EXPAND_SZ text as stored (not expanded), cut at the first NUL;
  // the empty text for a missing value; nullopt for a value of another type.
  std::optional<Text> ReadString(const Text& name);
  // A REG_DWORD as signed; nullopt when missing or of another type.
  std::optional<int32_t> ReadInteger(const Text& name);

  bool WriteString(const Text& name, TextView text);        // REG_SZ, NUL included
  bool WriteExpandString(const Text& name, TextView text);  // REG_EXPAND_SZ
  bool WriteInteger(const Text& name, int32_t value);       // REG_DWORD
  bool WriteValue(const Text& name, const RegValue& value);
  bool DeleteValue(const Text& name);
  // Deletes the key at path and every key beneath it; false, with nothing
  // deleted, when a key of the path is a link. A link beneath it is deleted as
  // the link itself, its target untouched.
  bool DeleteKey(TextView path);

  // Replace the list with the open key's subkey or value names in enumeration
  // order; false and an empty list when no key is open or listing is refused.
  bool GetKeyNames(std::vector<Text>& names);
  bool GetValueNames(std::vector<Text>& names);

 private:
  // The key a path starts from and the path relative to it.
  RegistryKey* Base(TextView& path, std::unique_ptr<RegistryKey>& root);
  bool OpenWith(TextView path, uint32_t sam, bool create);
  // The path from the root that a path given to the accessor names.
  Text FullPath(TextView path) const;
  // Where a change's walk starts, with the names it walks from there.
  RegistryKey* ChangeBase(TextView path, std::vector<Text>& parts, std::unique_ptr<RegistryKey>& root);
  // Opens for a change, one key at a time, never through a link.
  bool OpenForChange(TextView path, uint32_t sam, bool create);

  RegistryBackend& FBackend;
  uint32_t FAccess;
  uint32_t FRoot = kHkeyCurrentUser;
  std::unique_ptr<RegistryKey> FKey;
  Text FPath;
  // The open key was opened for a change, so no link lies on its path.
  bool FLinkFree = false;
};

}  // namespace vek
