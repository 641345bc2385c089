#include "tests/support/memory_registry.h"

#include <algorithm>

namespace qvtest {

using vek::RegValue;
using vek::Text;
using vek::TextView;

struct MemoryRegistry::Node {
  Text Name;
  uint32_t Root = 0;
  Node* Parent = nullptr;
  uint32_t Granted = vek::kKeyAllAccess;
  bool Deleted = false;
  // A registry link: the root and path (as AddLink was given them) it leads to.
  std::optional<std::pair<uint32_t, Text>> Link;
  std::vector<std::pair<Text, RegValue>> Values;
  std::vector<std::shared_ptr<Node>> Children;  // sorted as RegEnumKeyEx gives them

  std::shared_ptr<Node> Child(TextView name) const {
    for (const auto& c : Children)
      if (vek::SameText(c->Name, name)) return c;
    return nullptr;
  }
  RegValue* Value(TextView name) {
    for (auto& v : Values)
      if (vek::SameText(v.first, name)) return &v.second;
    return nullptr;
  }
  // The path from the root, as the keys are spelt.
  Text Path() const {
    if (!Parent) return {};
    Text above = Parent->Path();
    return above.empty() ? Name : above + u'\\' + Name;
  }
};

struct MemoryRegistry::State {
  std::vector<std::shared_ptr<Node>> Roots;  // index: root - 0x80000000
  FaultInjector Faults;
  int OpenHandles = 0;
  int OpensGranted = 0;
  int Queries = 0;

  bool Refuses(Change change, const Node& node) const { return Faults && Faults(change, node.Root, node.Path()); }
};

namespace {

using Node = MemoryRegistry::Node;
using State = MemoryRegistry::State;
using Change = MemoryRegistry::Change;

constexpr uint32_t kFirstRoot = 0x80000000u;
constexpr uint32_t kRootCount = 7;
constexpr const char16_t* kRootNames[kRootCount] = {u"HKCR", u"HKCU", u"HKLM", u"HKU", u"HKPD", u"HKCC", u"HKDD"};
// The registry's own limits on one key name and one value name.
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

TextView WithoutBackslash(TextView path) {
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  return path;
}

// Splits a relative path into its keys. A trailing backslash is allowed, as
// RegCreateKeyEx allows it; a leading one or an empty component is an error.
bool SplitPath(TextView path, std::vector<Text>& parts) {
  parts.clear();
  if (path.empty()) return true;
  if (path.front() == u'\\') return false;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == TextView::npos) end = path.size();
    if (end == start || end - start > kMaxKeyName) return false;
    parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Subkeys enumerate in the order of their names compared unit by unit after
// upper-casing, which for ASCII puts "_" after the letters, as Windows does.
bool SortsBefore(TextView a, TextView b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char16_t x, char16_t y) { return vek::UpperAscii(x) < vek::UpperAscii(y); });
}

std::shared_ptr<Node> AddChild(Node& parent, const Text& name) {
  auto made = std::make_shared<Node>();
  made->Name = name;
  made->Root = parent.Root;
  made->Parent = &parent;
  auto at = std::lower_bound(parent.Children.begin(), parent.Children.end(), name,
                             [](const auto& c, const Text& n) { return SortsBefore(c->Name, n); });
  parent.Children.insert(at, made);
  return made;
}

bool Allows(const Node& node, uint32_t sam) {
  return (sam & ~vek::kKeyWow64Res & ~node.Granted) == 0;
}

// Deleting a key marks its whole subtree, so a handle needs to look at its own
// node only (whose parent may already be gone).
bool Alive(const Node* node) { return !node->Deleted; }

void MarkDeleted(Node& node) {
  node.Deleted = true;
  for (auto& c : node.Children) MarkDeleted(*c);
}

// The walk of a subtree deletion: the key is opened for reading and deletion,
// its first subkey deleted (with everything below it) until none is left, then
// the key itself. The first refusal ends the walk.
bool DeleteWalk(State& state, Node& node) {
  if (!Allows(node, vek::kKeyRead | vek::kDeleteRight)) return false;
  while (!node.Children.empty())
    if (!DeleteWalk(state, *node.Children.front())) return false;
  if (state.Refuses(Change::DeleteKey, node)) return false;
  auto& siblings = node.Parent->Children;
  auto it = std::find_if(siblings.begin(), siblings.end(), [&](const auto& c) { return c.get() == &node; });
  std::shared_ptr<Node> keep = *it;  // the node outlives its erasure from the parent
  MarkDeleted(node);
  siblings.erase(it);
  return true;
}

Node* Find(const State& state, uint32_t root, TextView path);

// The key a link leads to, through links up to a depth Windows also gives up
// at; the node itself when it is no link, null when a link leads nowhere.
std::shared_ptr<Node> FollowLinks(const State& state, std::shared_ptr<Node> node) {
  for (int depth = 0; node && node->Link; ++depth) {
    Node* target = depth < 16 ? Find(state, node->Link->first, node->Link->second) : nullptr;
    if (!target || !target->Parent) return nullptr;
    node = target->Parent->Child(target->Name);
  }
  return node;
}

class MemoryKey final : public vek::RegistryKey {
 public:
  MemoryKey(std::shared_ptr<State> state, std::shared_ptr<Node> node, uint32_t sam, bool root)
      : state_(std::move(state)), node_(std::move(node)), sam_(sam), root_(root) {
    if (!root_) ++state_->OpenHandles;
  }
  ~MemoryKey() override {
    if (!root_) --state_->OpenHandles;
  }

  std::unique_ptr<vek::RegistryKey> Open(const Text& path, uint32_t sam) override {
    std::vector<Text> parts;
    if (!Alive(node_.get()) || !SplitPath(path, parts)) return nullptr;
    std::shared_ptr<Node> node = node_;
    for (const Text& part : parts) {
      node = FollowLinks(*state_, node->Child(part));
      if (!node) return nullptr;
    }
    return Grant(std::move(node), sam);
  }

  std::unique_ptr<vek::RegistryKey> OpenChild(const Text& name, uint32_t sam, bool create) override {
    if (!Alive(node_.get())) return nullptr;
    if (name.empty()) return root_ ? Grant(node_, sam) : nullptr;
    std::vector<Text> parts;
    if (!SplitPath(name, parts) || parts.size() != 1) return nullptr;
    std::shared_ptr<Node> next = node_->Child(name);
    if (!next) {
      if (!create || !(node_->Granted & vek::kKeyCreateSubKey)) return nullptr;
      Node probe;
      probe.Name = name;
      probe.Root = node_->Root;
      probe.Parent = node_.get();
      if (state_->Refuses(Change::CreateKey, probe)) return nullptr;
      next = AddChild(*node_, name);
    }
    if (next->Link) return nullptr;
    return Grant(std::move(next), sam);
  }

  std::optional<RegValue> Query(const Text& name) override {
    ++state_->Queries;
    if (!Usable(vek::kKeyQueryValue)) return std::nullopt;
    RegValue* v = node_->Value(name);
    if (!v) return std::nullopt;
    return *v;
  }

  std::optional<uint32_t> QueryType(const Text& name) override {
    ++state_->Queries;
    if (!Usable(vek::kKeyQueryValue)) return std::nullopt;
    RegValue* v = node_->Value(name);
    if (!v) return std::nullopt;
    return v->Type;
  }

  bool Set(const Text& name, const RegValue& value) override {
    if (!Usable(vek::kKeySetValue) || name.size() > kMaxValueName) return false;
    if (state_->Refuses(Change::SetValue, *node_)) return false;
    if (RegValue* v = node_->Value(name)) {
      *v = value;
    } else {
      node_->Values.emplace_back(name, value);
    }
    return true;
  }

  bool DeleteValue(const Text& name) override {
    if (!Usable(vek::kKeySetValue)) return false;
    auto& values = node_->Values;
    auto it = std::find_if(values.begin(), values.end(), [&](const auto& v) { return vek::SameText(v.first, name); });
    if (it == values.end() || state_->Refuses(Change::DeleteValue, *node_)) return false;
    values.erase(it);
    return true;
  }

  bool DeleteTree(const Text& name, uint32_t) override {
    std::vector<Text> parts;
    if (!Alive(node_.get()) || !SplitPath(name, parts) || parts.size() != 1) return false;
    std::shared_ptr<Node> node = node_->Child(name);
    // A link beneath is an ordinary key of the walk: it has no subkeys of its own.
    return node && !node->Link && DeleteWalk(*state_, *node);
  }

  bool SubKeyNames(std::vector<Text>& names) override {
    names.clear();
    if (!Usable(vek::kKeyEnumerateSubKeys)) return false;
    for (const auto& c : node_->Children) names.push_back(c->Name);
    return true;
  }

  bool ValueNames(std::vector<Text>& names) override {
    names.clear();
    if (!Usable(vek::kKeyQueryValue)) return false;
    for (const auto& v : node_->Values) names.push_back(v.first);
    return true;
  }

 private:
  bool Usable(uint32_t right) const { return (sam_ & right) == right && Alive(node_.get()); }

  std::unique_ptr<vek::RegistryKey> Grant(std::shared_ptr<Node> node, uint32_t sam) {
    if (!Allows(*node, sam)) return nullptr;
    ++state_->OpensGranted;
    return std::make_unique<MemoryKey>(state_, std::move(node), sam, false);
  }

  std::shared_ptr<State> state_;
  std::shared_ptr<Node> node_;
  uint32_t sam_;
  bool root_;
};

bool KnownRoot(uint32_t root) { return root >= kFirstRoot && root - kFirstRoot < kRootCount; }

Node* Find(const State& state, uint32_t root, TextView path) {
  if (!KnownRoot(root)) return nullptr;
  path = WithoutBackslash(path);
  std::vector<Text> parts;
  if (!SplitPath(path, parts)) return nullptr;
  Node* node = state.Roots[root - kFirstRoot].get();
  for (const Text& part : parts) {
    node = node->Child(part).get();
    if (!node) return nullptr;
  }
  return node;
}

Node* Make(State& state, uint32_t root, TextView path) {
  if (!KnownRoot(root)) return nullptr;
  path = WithoutBackslash(path);
  std::vector<Text> parts;
  if (!SplitPath(path, parts)) return nullptr;
  Node* node = state.Roots[root - kFirstRoot].get();
  for (const Text& part : parts) {
    std::shared_ptr<Node> next = node->Child(part);
    node = next ? next.get() : AddChild(*node, part).get();
  }
  return node;
}

void DumpInto(const Node& node, const Text& path, std::vector<MemoryRegistry::KeyDump>& out) {
  out.push_back({path, node.Values});
  if (node.Link) {
    const Text target = kRootNames[node.Link->first - kFirstRoot] + (u'\\' + node.Link->second);
    out.back().Values.emplace_back(u"SymbolicLinkValue", vek::RegValue::String(target, vek::kRegLink));
  }
  for (const auto& c : node.Children) DumpInto(*c, path + u'\\' + c->Name, out);
}

}  // namespace

MemoryRegistry::MemoryRegistry() : state_(std::make_shared<State>()) {
  for (uint32_t i = 0; i < kRootCount; ++i) {
    state_->Roots.push_back(std::make_shared<Node>());
    state_->Roots.back()->Root = kFirstRoot + i;
  }
}

MemoryRegistry::~MemoryRegistry() = default;

std::unique_ptr<vek::RegistryKey> MemoryRegistry::Root(uint32_t root) {
  if (!KnownRoot(root)) return nullptr;
  return std::make_unique<MemoryKey>(state_, state_->Roots[root - kFirstRoot], vek::kKeyAllAccess, true);
}

void MemoryRegistry::Clear() {
  for (auto& root : state_->Roots) {
    for (auto& c : root->Children) MarkDeleted(*c);
    root->Children.clear();
    root->Values.clear();
  }
}

void MemoryRegistry::AddKey(uint32_t root, TextView path) { Make(*state_, root, path); }

void MemoryRegistry::Put(uint32_t root, TextView path, const Text& name, RegValue value) {
  Node* node = Make(*state_, root, path);
  if (!node) return;
  if (RegValue* v = node->Value(name)) {
    *v = std::move(value);
  } else {
    node->Values.emplace_back(name, std::move(value));
  }
}

std::optional<RegValue> MemoryRegistry::Get(uint32_t root, TextView path, const Text& name) const {
  Node* node = Find(*state_, root, path);
  if (!node) return std::nullopt;
  RegValue* v = node->Value(name);
  if (!v) return std::nullopt;
  return *v;
}

bool MemoryRegistry::HasKey(uint32_t root, TextView path) const { return Find(*state_, root, path) != nullptr; }

std::vector<Text> MemoryRegistry::SubKeys(uint32_t root, TextView path) const {
  std::vector<Text> names;
  if (Node* node = Find(*state_, root, path))
    for (const auto& c : node->Children) names.push_back(c->Name);
  return names;
}

std::vector<Text> MemoryRegistry::ValueNames(uint32_t root, TextView path) const {
  std::vector<Text> names;
  if (Node* node = Find(*state_, root, path))
    for (const auto& v : node->Values) names.push_back(v.first);
  return names;
}

void MemoryRegistry::AddLink(uint32_t root, TextView path, uint32_t targetRoot, TextView target) {
  if (!KnownRoot(targetRoot)) return;
  if (Node* node = Make(*state_, root, path)) node->Link.emplace(targetRoot, Text(WithoutBackslash(target)));
}

void MemoryRegistry::SetRights(uint32_t root, TextView path, uint32_t granted) {
  if (Node* node = Make(*state_, root, path)) node->Granted = granted;
}

void MemoryRegistry::InjectFaults(FaultInjector injector) { state_->Faults = std::move(injector); }

std::vector<MemoryRegistry::KeyDump> MemoryRegistry::Dump() const {
  std::vector<KeyDump> out;
  for (uint32_t i = 0; i < kRootCount; ++i) DumpInto(*state_->Roots[i], kRootNames[i], out);
  return out;
}

int MemoryRegistry::OpenHandles() const { return state_->OpenHandles; }
int MemoryRegistry::OpensGranted() const { return state_->OpensGranted; }
int MemoryRegistry::Queries() const { return state_->Queries; }

}  // namespace qvtest
