#pragma once
// An in-memory registry behind the TRegistry seam, for native tests of everything
// that reads or writes the registry.
//
// It behaves like the real registry where the program's safety depends on it:
// names compare with ASCII case ignored; subkeys enumerate sorted without regard
// to case (as RegEnumKeyEx gives them) while values keep the order in which they
// were first made; a key name longer than 255 units or a value name longer than
// 16,383 is refused; a subtree deletion walks the keys in enumeration order,
// deleting each one after its subkeys, and a refusal part-way ends the walk with
// everything it had not reached left in place. Values keep their type and raw
// bytes exactly, odd sizes included. Each key carries the rights it grants; an
// open asking for more is refused as Windows refuses it (DenyOpen, RefuseWrites),
// and InjectFaults makes any single change fail. The view bits of an access mask
// are accepted and ignored: "Wow6432Node" is an ordinary key here. Like Windows,
// it refuses paths that begin with a backslash or contain an empty component, and
// a handle to a deleted key fails every operation. A key may be a registry link
// (AddLink): opens for reading follow it, OpenChild refuses it, and a subtree
// deletion deletes it as a key of its own.
#include <functional>
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

  // Direct access for arranging and checking, bypassing rights and faults. Paths
  // as TRegistry takes them (a leading backslash allowed). Clear empties every
  // root; keys still open then fail as deleted keys do.
  void Clear();
  void AddKey(uint32_t root, vek::TextView path);
  void Put(uint32_t root, vek::TextView path, const vek::Text& name, vek::RegValue value);
  std::optional<vek::RegValue> Get(uint32_t root, vek::TextView path, const vek::Text& name) const;
  bool HasKey(uint32_t root, vek::TextView path) const;
  std::vector<vek::Text> SubKeys(uint32_t root, vek::TextView path) const;
  std::vector<vek::Text> ValueNames(uint32_t root, vek::TextView path) const;

  // Makes the key at path (and the keys above it) a link to the key at target.
  void AddLink(uint32_t root, vek::TextView path, uint32_t targetRoot, vek::TextView target);
  // The rights a key grants (kKeyAllAccess when made). The key is made if missing.
  void SetRights(uint32_t root, vek::TextView path, uint32_t granted);
  void DenyOpen(uint32_t root, vek::TextView path) { SetRights(root, path, 0); }
  void RefuseWrites(uint32_t root, vek::TextView path) { SetRights(root, path, vek::kKeyRead); }

  // Changes made through keys, as the injector sees them. The path is the key
  // made, the key whose value changes, or the key deleted: from the root, without
  // a leading backslash, as the keys are spelt.
  enum class Change { CreateKey, SetValue, DeleteValue, DeleteKey };
  // Asked before every change made through a key; true makes that one change fail
  // as a refused call does, with nothing changed. Null asks nothing.
  using FaultInjector = std::function<bool(Change change, uint32_t root, const vek::Text& path)>;
  void InjectFaults(FaultInjector injector);

  // Every key of every root with its values, keys in enumeration order, for
  // comparing whole registries. Paths start with the root's short name ("HKLM");
  // a link shows, as in Windows, a REG_LINK value "SymbolicLinkValue" naming
  // where it leads ("HKLM\\X").
  struct KeyDump {
    vek::Text Path;
    std::vector<std::pair<vek::Text, vek::RegValue>> Values;
    bool operator==(const KeyDump&) const = default;
  };
  std::vector<KeyDump> Dump() const;

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
