#include "vek/registry.h"

namespace vek {

RegValue RegValue::String(TextView text, uint32_t type) {
  RegValue v;
  v.Type = type;
  v.Data.reserve((text.size() + 1) * 2);
  for (char16_t c : text) {
    v.Data.push_back(uint8_t(c & 0xFF));
    v.Data.push_back(uint8_t(c >> 8));
  }
  v.Data.push_back(0);
  v.Data.push_back(0);
  return v;
}

RegValue RegValue::Dword(uint32_t value) {
  RegValue v;
  v.Type = kRegDword;
  for (int i = 0; i < 4; ++i) v.Data.push_back(uint8_t(value >> (8 * i)));
  return v;
}

RegValue RegValue::Qword(uint64_t value) {
  RegValue v;
  v.Type = kRegQword;
  for (int i = 0; i < 8; ++i) v.Data.push_back(uint8_t(value >> (8 * i)));
  return v;
}

RegValue RegValue::Binary(std::vector<uint8_t> bytes) {
  RegValue v;
  v.Type = kRegBinary;
  v.Data = std::move(bytes);
  return v;
}

RegValue RegValue::MultiString(const std::vector<Text>& items) {
  RegValue v;
  v.Type = kRegMultiSz;
  for (const Text& item : items) {
    RegValue one = String(item);
    v.Data.insert(v.Data.end(), one.Data.begin(), one.Data.end());
  }
  v.Data.push_back(0);
  v.Data.push_back(0);
  return v;
}

namespace {

char16_t UnitAt(const std::vector<uint8_t>& data, size_t i) {
  return char16_t(data[2 * i] | (data[2 * i + 1] << 8));
}

}  // namespace

Text RegDataText(const std::vector<uint8_t>& data) {
  Text r;
  const size_t units = data.size() / 2;
  r.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    char16_t c = UnitAt(data, i);
    if (c == 0) break;
    r.push_back(c);
  }
  return r;
}

std::vector<Text> RegDataMultiString(const std::vector<uint8_t>& data) {
  std::vector<Text> items;
  Text item;
  const size_t units = data.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    char16_t c = UnitAt(data, i);
    if (c != 0) {
      item.push_back(c);
      continue;
    }
    if (item.empty()) return items;
    items.push_back(std::move(item));
    item.clear();
  }
  // Writers that forget the terminating NULs still leave a last item.
  if (!item.empty()) items.push_back(std::move(item));
  return items;
}

std::optional<uint32_t> RegDataDword(const std::vector<uint8_t>& data) {
  if (data.size() < 4) return std::nullopt;
  return uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
}

std::optional<uint64_t> RegDataQword(const std::vector<uint8_t>& data) {
  if (data.size() < 8) return std::nullopt;
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | data[size_t(i)];
  return v;
}

RegDataType RegDataTypeOf(uint32_t type) {
  switch (type) {
    case kRegSz: return RegDataType::String;
    case kRegExpandSz: return RegDataType::ExpandString;
    case kRegDword: return RegDataType::Integer;
    case kRegBinary: return RegDataType::Binary;
    default: return RegDataType::Unknown;
  }
}

namespace {

class NullRegistry final : public RegistryBackend {
 public:
  std::unique_ptr<RegistryKey> Root(uint32_t) override { return nullptr; }
};

NullRegistry g_null_registry;
RegistryBackend* g_registry = &g_null_registry;

TextView WithoutLeadingBackslash(TextView path) {
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  return path;
}

// The key names of a relative path. A trailing backslash is allowed, as
// RegCreateKeyEx allows it; an empty name within, or a name holding a NUL (at
// which the Windows calls would cut it), refuses the path.
bool SplitKeyPath(TextView path, std::vector<Text>& parts) {
  parts.clear();
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == TextView::npos) end = path.size();
    const TextView name = path.substr(start, end - start);
    if (name.empty() || name.find(u'\0') != TextView::npos) return false;
    parts.emplace_back(name);
    start = end + 1;
  }
  return true;
}

// Opens the first count keys of parts one below the other from base, none
// through a link; null when any is refused. The keys on the way are opened with
// the rights to look at them only, the last with sam.
std::unique_ptr<RegistryKey> Walk(RegistryKey& base, const std::vector<Text>& parts, size_t count, uint32_t sam,
                                  bool create) {
  std::unique_ptr<RegistryKey> at;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t rights = i + 1 == count ? sam : kKeyQueryValue | (sam & kKeyWow64Res);
    std::unique_ptr<RegistryKey> next = (at ? *at : base).OpenChild(parts[i], rights, create);
    if (!next) return nullptr;
    at = std::move(next);
  }
  return at;
}

}  // namespace

RegistryBackend& CurrentRegistry() { return *g_registry; }

RegistryBackend* SetRegistryBackend(RegistryBackend* backend) {
  RegistryBackend* previous = g_registry == &g_null_registry ? nullptr : g_registry;
  g_registry = backend ? backend : &g_null_registry;
  return previous;
}

TRegistry::TRegistry(uint32_t access, RegistryBackend& backend) : FBackend(backend), FAccess(access) {}

TRegistry::~TRegistry() = default;

void TRegistry::SetRootKey(uint32_t root) {
  CloseKey();
  FRoot = root;
}

void* TRegistry::CurrentKeyHandle() const { return FKey ? FKey->NativeHandle() : nullptr; }

RegistryKey* TRegistry::Base(TextView& path, std::unique_ptr<RegistryKey>& root) {
  const bool absolute = !path.empty() && path.front() == u'\\';
  path = WithoutLeadingBackslash(path);
  if (FKey && !absolute) return FKey.get();
  root = FBackend.Root(FRoot);
  return root.get();
}

Text TRegistry::FullPath(TextView path) const {
  const bool absolute = !path.empty() && path.front() == u'\\';
  path = WithoutLeadingBackslash(path);
  Text full = FKey && !absolute ? FPath : Text();
  if (!path.empty()) {
    if (!full.empty() && full.back() != u'\\') full += u'\\';
    full += path;
  }
  return full;
}

bool TRegistry::OpenWith(TextView path, uint32_t sam, bool create) {
  if (create || (sam & kKeyChangeRights)) return OpenForChange(path, sam, create);
  Text full = FullPath(path);
  std::unique_ptr<RegistryKey> root;
  RegistryKey* base = Base(path, root);
  if (!base) return false;
  std::unique_ptr<RegistryKey> opened = base->Open(Text(path), sam);
  if (!opened) return false;
  FKey = std::move(opened);
  FPath = std::move(full);
  FLinkFree = false;
  return true;
}

RegistryKey* TRegistry::ChangeBase(TextView path, std::vector<Text>& parts, std::unique_ptr<RegistryKey>& root) {
  const bool absolute = !path.empty() && path.front() == u'\\';
  const TextView relative = WithoutLeadingBackslash(path);
  // The open key itself only when nothing on its path was a link; one opened
  // for reading may have been reached through one, so its path is walked again.
  if (FKey && FLinkFree && !absolute && !relative.empty()) return SplitKeyPath(relative, parts) ? FKey.get() : nullptr;
  if (!SplitKeyPath(FullPath(path), parts)) return nullptr;
  root = FBackend.Root(FRoot);
  return root.get();
}

bool TRegistry::OpenForChange(TextView path, uint32_t sam, bool create) {
  std::vector<Text> parts;
  std::unique_ptr<RegistryKey> root;
  RegistryKey* base = ChangeBase(path, parts, root);
  if (!base) return false;
  std::unique_ptr<RegistryKey> opened =
      parts.empty() ? base->OpenChild(Text(), sam, create) : Walk(*base, parts, parts.size(), sam, create);
  if (!opened) return false;
  Text full = FullPath(path);
  if (!full.empty() && full.back() == u'\\') full.pop_back();
  FKey = std::move(opened);
  FPath = std::move(full);
  FLinkFree = true;
  return true;
}

bool TRegistry::OpenKey(TextView path, bool create) { return OpenWith(path, FAccess, create); }

bool TRegistry::OpenKeyReadOnly(TextView path) {
  const uint32_t view = FAccess & kKeyWow64Res;
  for (uint32_t rights : {kKeyRead, kStandardRightsRead | kKeyQueryValue | kKeyEnumerateSubKeys, kKeyQueryValue}) {
    if (OpenWith(path, rights | view, false)) {
      FAccess = rights | view;
      return true;
    }
  }
  return false;
}

void TRegistry::CloseKey() {
  FKey.reset();
  FPath.clear();
  FLinkFree = false;
}

bool TRegistry::KeyExists(TextView path) {
  std::unique_ptr<RegistryKey> root;
  RegistryKey* base = Base(path, root);
  if (!base) return false;
  // Existence needs no rights beyond those of the view: try the least ones.
  const uint32_t view = FAccess & kKeyWow64Res;
  return base->Open(Text(path), kKeyQueryValue | view) != nullptr || base->Open(Text(path), kKeyRead | view) != nullptr;
}

bool TRegistry::ValueExists(const Text& name) { return FKey && FKey->QueryType(name).has_value(); }

RegDataType TRegistry::GetDataType(const Text& name) {
  if (!FKey) return RegDataType::Unknown;
  std::optional<uint32_t> type = FKey->QueryType(name);
  return type ? RegDataTypeOf(*type) : RegDataType::Unknown;
}

std::optional<RegValue> TRegistry::ReadValue(const Text& name) {
  if (!FKey) return std::nullopt;
  return FKey->Query(name);
}

std::optional<Text> TRegistry::ReadString(const Text& name) {
  if (!FKey) return std::nullopt;
  std::optional<RegValue> v = FKey->Query(name);
  if (!v) return Text();
  if (v->Type != kRegSz && v->Type != kRegExpandSz) return std::nullopt;
  return RegDataText(v->Data);
}

std::optional<int32_t> TRegistry::ReadInteger(const Text& name) {
  if (!FKey) return std::nullopt;
  std::optional<RegValue> v = FKey->Query(name);
  if (!v || v->Type != kRegDword) return std::nullopt;
  std::optional<uint32_t> d = RegDataDword(v->Data);
  if (!d) return std::nullopt;
  return int32_t(*d);
}

bool TRegistry::WriteString(const Text& name, TextView text) { return WriteValue(name, RegValue::String(text)); }

bool TRegistry::WriteExpandString(const Text& name, TextView text) {
  return WriteValue(name, RegValue::String(text, kRegExpandSz));
}

bool TRegistry::WriteInteger(const Text& name, int32_t value) {
  return WriteValue(name, RegValue::Dword(uint32_t(value)));
}

bool TRegistry::WriteValue(const Text& name, const RegValue& value) { return FKey && FKey->Set(name, value); }

bool TRegistry::DeleteValue(const Text& name) { return FKey && FKey->DeleteValue(name); }

bool TRegistry::DeleteKey(TextView path) {
  std::vector<Text> parts;
  std::unique_ptr<RegistryKey> root;
  RegistryKey* base = ChangeBase(path, parts, root);
  if (!base || parts.empty() || WithoutLeadingBackslash(path).empty()) return false;
  std::unique_ptr<RegistryKey> parent;
  if (parts.size() > 1) {
    parent = Walk(*base, parts, parts.size() - 1, kKeyQueryValue | (FAccess & kKeyWow64Res), false);
    if (!parent) return false;
    base = parent.get();
  }
  return base->DeleteTree(parts.back(), FAccess);
}

bool TRegistry::GetKeyNames(std::vector<Text>& names) {
  names.clear();
  return FKey && FKey->SubKeyNames(names);
}

bool TRegistry::GetValueNames(std::vector<Text>& names) {
  names.clear();
  return FKey && FKey->ValueNames(names);
}

}  // namespace vek
