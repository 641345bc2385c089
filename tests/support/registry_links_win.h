#pragma once
// Registry links for the tests of what the program does with them: made, read
// and deleted with the raw calls, and a dump of a subtree that never follows a
// link, so that a link shows as itself. Everything is in the 64-bit view. Used
// by the Windows unit tests and by qv_regtool, so it needs nothing but Windows.
#include <string>
#include <vector>

#include "vek/win32.h"

namespace qvtest {

// Makes key (below root) a link to target, a key named as the registry names it
// in its own namespace ("\Registry\Machine\Software\X"); false when it cannot
// (the key exists already, or this system makes no links).
bool MakeLink(HKEY root, const std::wstring& key, const std::wstring& target);
// Where the link at key leads; empty when key is no link or is missing.
std::wstring LinkTarget(HKEY root, const std::wstring& key);
// Deletes the link key itself, never what it leads to; nothing when key is no
// link.
void DeleteLink(HKEY root, const std::wstring& key);
// The registry's own name of key ("\REGISTRY\USER\S-1-5-...\Software\X"), as
// links name their targets; empty when the key is missing.
std::wstring RegistryName(HKEY root, const std::wstring& key);

struct DumpedValue {
  std::wstring Name;
  DWORD Type = REG_NONE;
  std::vector<BYTE> Data;
  bool operator==(const DumpedValue&) const = default;
};
struct DumpedKey {
  std::wstring Path;  // below root, starting with the dumped key's path
  std::vector<DumpedValue> Values;
  bool operator==(const DumpedKey&) const = default;
};
// Key with its values and, with below, every key beneath it, in enumeration
// order. Each key below is opened by its one name from its parent with
// REG_OPTION_OPEN_LINK, so a link shows as a key holding its REG_LINK
// "SymbolicLinkValue" and nothing beneath. Empty when key is missing.
std::vector<DumpedKey> DumpTree(HKEY root, const std::wstring& key, bool below);

}  // namespace qvtest
