// Seeds and dumps registry values with exact names, types and data for the
// end-to-end tests, where regedit and reg.exe cannot write every name (16,383
// units, backslashes only, the default value) nor show raw bytes.
//   qv_regtool load FILE            makes the keys and values FILE lists
//   qv_regtool tree FILE ROOT KEY   appends KEY and every key below it to FILE
//   qv_regtool values FILE ROOT KEY appends KEY and its values only
//   qv_regtool link ROOT KEY TARGET makes KEY a registry link to TARGET, a key
//                                   as the registry names it ("\Registry\Machine\X")
// FILE is UTF-8, one line per key or value, fields separated by tabs:
//   ROOT  KEY  k                       a key
//   ROOT  KEY  vNAMEHEX  TYPE  DATAHEX a value
// ROOT is HKLM or HKCU; KEY is the path below it; NAMEHEX is the value name as
// four hexadecimal digits per UTF-16 unit (nothing for the default value); TYPE
// is decimal; DATAHEX the raw bytes. Keys and values come in enumeration order.
// The dumps never follow a registry link below KEY: a link shows as a key with
// its REG_LINK (6) value "SymbolicLinkValue" and nothing beneath it.
// Everything is in the 64-bit registry view. Exit code 0, or 1 with a message.
#include "tests/support/registry_links_win.h"
#include "vek/win32.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring FromUtf8(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

std::string ToUtf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string Hex(const BYTE* data, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

std::vector<BYTE> Unhex(const std::string& hex) {
  std::vector<BYTE> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(BYTE(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::wstring NameFromHex(const std::string& hex) {
  std::wstring name;
  for (size_t i = 0; i + 3 < hex.size(); i += 4) name += wchar_t(std::stoi(hex.substr(i, 4), nullptr, 16));
  return name;
}

std::string NameToHex(const wchar_t* name, size_t units) {
  std::vector<BYTE> bytes;
  for (size_t i = 0; i < units; ++i) {
    bytes.push_back(BYTE(name[i] >> 8));
    bytes.push_back(BYTE(name[i] & 0xFF));
  }
  return Hex(bytes.data(), bytes.size());
}

HKEY RootOf(const std::string& name) {
  if (name == "HKLM") return HKEY_LOCAL_MACHINE;
  if (name == "HKCU") return HKEY_CURRENT_USER;
  return nullptr;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "qv_regtool: %s\n", what.c_str());
  return 1;
}

int Load(const wchar_t* file) {
  FILE* in = _wfopen(file, L"rb");
  if (!in) return Fail("cannot read the seed file");
  std::string text;
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
  std::fclose(in);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    const std::vector<std::string> f = Split(line);
    HKEY root = f.size() >= 3 ? RootOf(f[0]) : nullptr;
    if (!root || f[2].empty() || (f[2][0] == 'v' && f.size() != 5)) return Fail("bad line: " + line);
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(root, FromUtf8(f[1]).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return Fail("cannot make " + f[1] + ": " + std::to_string(rc));
    if (f[2][0] == 'v') {
      const std::vector<BYTE> data = Unhex(f[4]);
      rc = RegSetValueExW(key, NameFromHex(f[2].substr(1)).c_str(), 0, DWORD(std::stoul(f[3])),
                          data.empty() ? nullptr : data.data(), DWORD(data.size()));
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return Fail("cannot write " + line.substr(0, 200) + ": " + std::to_string(rc));
  }
  return 0;
}

void Dump(FILE* out, const std::string& rootName, HKEY root, const std::wstring& path, bool below) {
  for (const qvtest::DumpedKey& key : qvtest::DumpTree(root, path, below)) {
    const std::string prefix = rootName + "\t" + ToUtf8(key.Path) + "\t";
    std::fprintf(out, "%sk\n", prefix.c_str());
    for (const qvtest::DumpedValue& v : key.Values)
      std::fprintf(out, "%sv%s\t%lu\t%s\n", prefix.c_str(), NameToHex(v.Name.data(), v.Name.size()).c_str(),
                   static_cast<unsigned long>(v.Type), Hex(v.Data.data(), v.Data.size()).c_str());
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"load" && argc == 3) return Load(argv[2]);
  if ((command == L"tree" || command == L"values") && argc == 5) {
    const std::string rootName = ToUtf8(argv[3]);
    HKEY root = RootOf(rootName);
    if (!root) return Fail("unknown root");
    FILE* out = _wfopen(argv[2], L"ab");
    if (!out) return Fail("cannot write the dump file");
    Dump(out, rootName, root, argv[4], command == L"tree");
    std::fclose(out);
    return 0;
  }
  if (command == L"link" && argc == 5) {
    HKEY root = RootOf(ToUtf8(argv[2]));
    if (!root) return Fail("unknown root");
    return qvtest::MakeLink(root, argv[3], argv[4]) ? 0 : Fail("cannot make the link");
  }
  return Fail("usage: qv_regtool load FILE | tree FILE ROOT KEY | values FILE ROOT KEY | link ROOT KEY TARGET");
}
