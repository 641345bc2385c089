#pragma once
// The unit Lib: the small helpers the start-up code and the pages share: shell
// folders, file icons, version-resource strings, one-shot registry operations,
// root-key names and list-view look-ups. (The folder-variable table is in
// core/folders.h.)
//
// Every helper is a free function with no state of its own and never throws:
// each failure becomes the neutral result written on its declaration. Each
// registry helper opens its own accessor, does one operation and closes it. Shell
// and file calls go through ShellFiles: WindowsShell() in the program
// (lib_win.cpp), a fake in native tests.
#include <cstdint>
#include <optional>
#include <vector>

#include "ui/lists.h"
#include "vek/registry.h"
#include "vek/text.h"

namespace core {

using vek::Text;
using vek::TextView;

// CSIDL numbers the program asks for.
constexpr int kCsidlAppData = 26;
constexpr int kCsidlWindows = 36;
constexpr int kCsidlProgramFiles = 38;
constexpr int kCsidlProgramFilesX86 = 42;
constexpr int kCsidlProgramFilesCommon = 43;
constexpr int kCsidlProgramFilesCommonX86 = 44;

// The shell and file-system calls behind the helpers.
class ShellFiles {
 public:
  virtual ~ShellFiles() = default;
  // The folder as the shell gives it (possibly with a trailing backslash);
  // empty when the shell cannot resolve the CSIDL.
  virtual Text SpecialFolderPath(int csidl) = 0;
  // Whether a file of that name exists, links followed.
  virtual bool FileExists(const Text& path) = 0;
  // Adds the file's first icon (or its associated program's) to the list and
  // returns the new index; -1 when there is no icon or it could not be added.
  virtual int AddAssociatedIcon(ui::ImageList& list, const Text& path) = 0;
  // The string of the first translation of the file's version resource; empty
  // when there is no resource, no translation or no such string.
  virtual Text VersionString(const Text& path, const Text& name) = 0;
};

// The shell the helpers use; until one is installed, one that resolves nothing
// and finds no file. Returns the previous one; null restores that default.
ShellFiles& CurrentShell();
ShellFiles* SetShell(ShellFiles* shell);

#ifdef _WIN32
// shell32, version.dll and the file system (lib_win.cpp).
ShellFiles& WindowsShell();
#endif

// Folder path without a trailing backslash (a drive root comes back as "C:");
// empty when the shell cannot resolve it.
Text GetSpecialFolder(int csidl);

// The process identifier of the crash reporter the program keeps beside itself
// while it runs, 0 otherwise (or before the crash handler gave its source). The
// reset spares it as it spares the program's own process.
uint32_t CrashReporterProcessId();
void SetCrashReporterSource(uint32_t (*source)());

// "HKLM"-style (short) or "HKEY_LOCAL_MACHINE"-style name of a predefined key;
// empty outside 0x80000000..0x80000006.
Text RootKeyName(uint32_t rootKey, bool shortForm);
// The predefined key a long or short name stands for, ASCII case ignored; 0 when
// no name matches.
uint32_t RootKeyFromName(TextView name);

// Adds the first icon of the file a text names (trimmed; a leading quoted part
// only; anything from a comma on dropped) and returns its index in the list;
// defaultIndex when the file does not exist or gives no icon.
int AddFileIcon(ui::ImageList& list, TextView text, int defaultIndex);

// One string (such as "CompanyName") of the file's version resource, under the
// resource's first translation; empty when any step fails.
Text GetFileVersionValue(const Text& path, const Text& name);
// "\StringFileInfo\041204b0\CompanyName" for language 0x0412, code page 0x04B0.
Text VersionQueryPath(uint16_t language, uint16_t codePage, TextView name);

// One-shot registry operations in the 64-bit view. Key paths start at the root;
// a leading backslash is allowed. Reads open read-only and never create; writes
// and deletes open with creation allowed, so they leave a missing key path behind
// even when there is nothing to delete. Writes and deletes return whether the
// operation happened, for callers that must know before undoing another copy.
// Value names are names, not paths: a backslash in one is an ordinary character.
// A value name holding a NUL is refused with the neutral result, since the
// Windows calls would cut it there and reach another value.
int32_t ReadRegInteger(uint32_t rootKey, TextView keyPath, const Text& name);  // -1 unless a REG_DWORD
Text ReadRegString(uint32_t rootKey, TextView keyPath, const Text& name);  // empty unless REG_SZ/REG_EXPAND_SZ (unexpanded)
// The value's type and data as stored; nullopt when it is missing or unreadable.
std::optional<vek::RegValue> ReadRegValue(uint32_t rootKey, TextView keyPath, const Text& name);
bool RegKeyExists(uint32_t rootKey, TextView keyPath);
// The list is emptied first, then receives the names in enumeration order;
// returns the list's count (0 when the key cannot be opened).
int ListRegKeys(uint32_t rootKey, TextView keyPath, std::vector<Text>& list);
int ListRegValues(uint32_t rootKey, TextView keyPath, std::vector<Text>& list);
bool DeleteRegValue(uint32_t rootKey, TextView keyPath, const Text& name);
bool WriteRegInteger(uint32_t rootKey, TextView keyPath, const Text& name, int32_t value);  // REG_DWORD
bool WriteRegString(uint32_t rootKey, TextView keyPath, const Text& name, TextView value);  // REG_SZ
bool WriteRegExpandString(uint32_t rootKey, TextView keyPath, const Text& name, TextView value);  // REG_EXPAND_SZ
// Any type and raw data, exactly as given.
bool WriteRegValue(uint32_t rootKey, TextView keyPath, const Text& name, const vek::RegValue& value);

// A name read from the registry or from the service that becomes part of a key
// path is one key name: not empty, with no backslash (which would make it a path,
// and with a leading one a path from the root) and no NUL (at which the Windows
// calls cut it). Nothing strips such a name into shape.
bool IsKeyName(TextView name);
// keyPath followed by the key name; nullopt when IsKeyName refuses the name.
std::optional<Text> SubKeyPath(TextView keyPath, TextView name);

// The key that one outside name names directly below keyPath: refused, with
// false and nothing opened, made or deleted, when IsKeyName refuses the name.
// Writes make the key (and keyPath) when missing; the delete opens keyPath with
// creation allowed and deletes the subkey with every key beneath it.
bool WriteRegSubKeyString(uint32_t rootKey, TextView keyPath, TextView subKey, const Text& name, TextView value);
bool WriteRegSubKeyInteger(uint32_t rootKey, TextView keyPath, TextView subKey, const Text& name, int32_t value);
bool DeleteRegKey(uint32_t rootKey, TextView keyPath, TextView subKey);

// Index of the first row whose caption (or sub-item n) equals the text exactly,
// case included; -1 when none does.
int FindCaptionIndex(const ui::ListView& view, TextView text);
int FindSubItemIndex(const ui::ListView& view, TextView text, int n);

}  // namespace core
