#pragma once
// An in-memory registry behind the TRegistry seam, for native tests of everything
// that reads or writes the registry.
//
// Keys and values keep the order in which they were first made (enumeration
// follows it), names compare with ASCII case ignored, and values keep their type
// and raw bytes exactly, odd sizes included. Each key carries the rights it
// grants; an open asking for more is refused as Windows refuses it, which is how
// tests inject a key that cannot be opened (DenyOpen) or one that refuses writes
// (RefuseWrites). The view bits of an access mask are accepted and ignored:
// "Wow6432Node" is an ordinary key here. Like Windows, it refuses paths that begin
// with a backslash or contain an empty component, and a handle to a deleted key
// fails every operation.
#include <memory>
#include <optional>
#include <vector>

#include "vek/registry.h"

namespace qvtest {

class MemoryRegistry final : public vek::RegistryBackend {
 public:
  MemoryRegistry();
  ~MemoryRegistry() override;

  std::unique_ptr<vek::RegistryKey> Root(uint32_t root) override;

  // Direct access for arranging and checking, bypassing rights. Paths as
  // TRegistry takes them (a leading backslash allowed).
  void AddKey(uint32_t root, vek::TextView path);
  void Put(uint32_t root, vek::TextView path, const vek::Text& name, vek::RegValue value);
  std::optional<vek::RegValue> Get(uint32_t root, vek::TextView path, const vek::Text& name) const;
  bool HasKey(uint32_t root, vek::TextView path) const;
  std::vector<vek::Text> SubKeys(uint32_t root, vek::TextView path) const;
  std::vector<vek::Text> ValueNames(uint32_t root, vek::TextView path) const;

  // The rights a key grants (kKeyAllAccess when made). The key is made if missing.
  void SetRights(uint32_t root, vek::TextView path, uint32_t granted);
  void DenyOpen(uint32_t root, vek::TextView path) { SetRights(root, path, 0); }
  void RefuseWrites(uint32_t root, vek::TextView path) { SetRights(root, path, vek::kKeyRead); }

  // Open keys not yet closed (roots not counted), and opens granted so far.
  int OpenHandles() const;
  int OpensGranted() const;
  // Value queries made through keys (Query and QueryType together).
  int Queries() const;

  struct Node;
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace qvtest
