#pragma once
// Environment and file system for native tests of the installed-program
// inventory: what the test arranges, nothing else.
#include <map>
#include <set>

#include "vek/install.h"

namespace qvtest {

class MemoryInstallFiles final : public vek::InstallFiles {
 public:
  std::map<vek::Text, vek::Text> Env;
  std::set<vek::Text> Files;
  std::map<vek::Text, std::vector<vek::FileEntry>> Folders;  // folder -> entries in listing order
  std::map<vek::Text, vek::FileEntry> Entries;              // single look-ups
  std::vector<vek::Text> Listed;                            // folders asked for

  vek::Text Environment(const vek::Text& name) override {
    auto it = Env.find(name);
    return it == Env.end() ? vek::Text() : it->second;
  }
  bool FileExists(const vek::Text& path) override { return Files.count(path) != 0; }
  std::vector<vek::FileEntry> ListFolder(const vek::Text& folder) override {
    Listed.push_back(folder);
    auto it = Folders.find(folder);
    return it == Folders.end() ? std::vector<vek::FileEntry>() : it->second;
  }
  std::optional<vek::FileEntry> FindEntry(const vek::Text& path) override {
    auto it = Entries.find(path);
    if (it == Entries.end()) return std::nullopt;
    return it->second;
  }
};

class ScopedInstallFiles {
 public:
  explicit ScopedInstallFiles(vek::InstallFiles& files) : previous_(vek::SetInstallFiles(&files)) {}
  ~ScopedInstallFiles() { vek::SetInstallFiles(previous_); }
  ScopedInstallFiles(const ScopedInstallFiles&) = delete;
  ScopedInstallFiles& operator=(const ScopedInstallFiles&) = delete;

 private:
  vek::InstallFiles* previous_;
};

}  // namespace qvtest
