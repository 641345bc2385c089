#pragma once
// A shell for native tests: folders, files, icons and version strings are what
// the test arranges, and the calls made are counted.
#include <map>
#include <set>
#include <utility>

#include "core/lib.h"

namespace qvtest {

class FakeShell final : public core::ShellFiles {
 public:
  std::map<int, vek::Text> Folders;
  std::set<vek::Text> Files;            // exact names that exist
  std::set<vek::Text> FilesWithIcons;   // those that yield an icon
  std::map<std::pair<vek::Text, vek::Text>, vek::Text> Versions;  // (path, name) -> string
  std::vector<vek::Text> IconRequests;  // paths AddAssociatedIcon was asked for

  vek::Text SpecialFolderPath(int csidl) override {
    auto it = Folders.find(csidl);
    return it == Folders.end() ? vek::Text() : it->second;
  }
  bool FileExists(const vek::Text& path) override { return Files.count(path) != 0; }
  int AddAssociatedIcon(ui::ImageList& list, const vek::Text& path) override {
    IconRequests.push_back(path);
    if (!FilesWithIcons.count(path)) return -1;
    static int token;
    return list.AddIcon(&token);
  }
  vek::Text VersionString(const vek::Text& path, const vek::Text& name) override {
    auto it = Versions.find({path, name});
    return it == Versions.end() ? vek::Text() : it->second;
  }
};

// Installs a shell for the life of a test.
class ScopedShell {
 public:
  explicit ScopedShell(core::ShellFiles& shell) : previous_(core::SetShell(&shell)) {}
  ~ScopedShell() { core::SetShell(previous_); }
  ScopedShell(const ScopedShell&) = delete;
  ScopedShell& operator=(const ScopedShell&) = delete;

 private:
  core::ShellFiles* previous_;
};

}  // namespace qvtest
