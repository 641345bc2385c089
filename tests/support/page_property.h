#pragma once
// The frame the check-box pages' property tests share: a seeded generator, the
// in-memory registry with refusals at random, a fake shell and in-memory rows, a
// log of the steps, random sequences of rebuilds, ticks and applies, the run of
// many seeds, and the diff of everything outside a page's own keys. Each page
// brings its own starting states, steps and invariant checker.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fake_shell.h"
#include "tests/support/memory_lists.h"
#include "tests/support/memory_registry.h"
#include "tests/support/property_seeds.h"

namespace qvtest {

// Refuses each change through the registry's keys with a given probability,
// drawing from the sequence's own generator, and counts the changes asked and
// the refusals.
class RandomFaults {
 public:
  RandomFaults(MemoryRegistry& mem, std::mt19937_64& rng) : mem_(mem), rng_(rng) {
    mem_.InjectFaults([this](MemoryRegistry::Change, uint32_t, const vek::Text&) {
      ++changes_;
      if (rate_ <= 0 || std::uniform_real_distribution<double>(0, 1)(rng_) >= rate_) return false;
      ++fired_;
      return true;
    });
  }
  ~RandomFaults() { mem_.InjectFaults(nullptr); }
  RandomFaults(const RandomFaults&) = delete;
  RandomFaults& operator=(const RandomFaults&) = delete;

  void SetRate(double rate) { rate_ = rate; }
  int Fired() const { return fired_; }
  // Changes asked of the registry through its keys, refused or not.
  int Changes() const { return changes_; }

 private:
  MemoryRegistry& mem_;
  std::mt19937_64& rng_;
  double rate_ = 0;
  int fired_ = 0;
  int changes_ = 0;
};

class PageProperty {
 public:
  explicit PageProperty(uint64_t seed) : rng_(seed), faults_(mem_, rng_) {}
  virtual ~PageProperty() = default;
  PageProperty(const PageProperty&) = delete;
  PageProperty& operator=(const PageProperty&) = delete;

  MemoryRegistry& Registry() { return mem_; }
  std::string Log() const { return log_.str(); }

  // Takes the starting state that the checker compares with.
  virtual void Begin() = 0;
  // Each returns what the checker found wrong afterwards, or nothing.
  virtual std::string Rebuild() = 0;
  virtual std::string Apply() = 0;

  // A tick changes the rows only; the registry is checked after the next apply.
  void Tick(int row, bool checked) {
    rows_.SetChecked(row, checked);
    log_ << (checked ? "tick " : "untick ") << vek::ToUtf8(RowName(row).substr(0, 20)) << "\n";
  }

  // Rebuilds, then for each entry of ticks ticks or unticks every row, applies
  // and rebuilds; stops at the first failure.
  std::string Passes(std::initializer_list<bool> ticks) {
    std::string failure = Rebuild();
    for (const bool checked : ticks) {
      for (int r = 0; failure.empty() && r < rows_.RowCount(); ++r) Tick(r, checked);
      if (failure.empty()) failure = Apply();
      if (failure.empty()) failure = Rebuild();
    }
    return failure;
  }

  // A random starting state, a random rate of refused changes, random steps.
  std::string Run() {
    Arrange();
    Begin();
    faults_.SetRate(std::uniform_int_distribution<int>(0, 3)(rng_) * 0.1);
    std::string failure = Rebuild();
    for (int step = Between(3, 10); failure.empty() && step > 0; --step) {
      const int what = Between(0, 9);
      if (what < 2)
        failure = Rebuild();
      else if (what < 6 && rows_.RowCount() > 0)
        Tick(Between(0, rows_.RowCount() - 1), Chance(50));
      else if (std::optional<std::string> meddled; what == 9 && (meddled = Meddle()))
        failure = *meddled;
      else
        failure = Apply();
    }
    return failure;
  }

 protected:
  virtual void Arrange() = 0;
  virtual vek::Text RowName(int row) const = 0;
  // Another program's change between the page's steps, then what the checker
  // found; nullopt for a page whose sequences have none (an apply is made then).
  virtual std::optional<std::string> Meddle() { return std::nullopt; }

  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  bool Chance(int percent) { return Between(1, 100) <= percent; }
  template <typename T, size_t N>
  const T& Pick(const T (&pool)[N]) {
    return pool[Between(0, int(N) - 1)];
  }

  std::mt19937_64 rng_;
  MemoryRegistry mem_;
  vek::ScopedRegistryBackend backend_{mem_};
  RandomFaults faults_;
  FakeShell shell_;
  ScopedShell scopedShell_{shell_};
  MemoryListView rows_;
  std::ostringstream log_;
};

// Runs Property(seed).Run() for seeds first, first + 1, ... (10,000 of them, or
// QUORVANE_PROPERTY_SEQUENCES), or only for QUORVANE_PROPERTY_SEED when that is
// set. The first failure is reported with its seed and its steps, and ends the run.
template <typename Property>
void RunSequences(uint64_t first) {
  const qvtest::SeedRange seeds = qvtest::PropertySeeds(first, 10000);
  for (uint64_t seed = seeds.First; seed < seeds.End(); ++seed) {
    Property property(seed);
    const std::string failure = property.Run();
    if (!failure.empty()) {
      ADD_FAILURE() << qvtest::ReplayNote(seed) << ":\n"
                    << failure << "\nsteps:\n"
                    << property.Log();
      return;
    }
  }
}

// A value of every registry type, text ones holding text: also empty, without
// its terminating NUL at an odd size, and of 40,000 bytes; binary ones empty,
// of 11 and 12 bytes as switches are, and of 64 KiB.
inline std::vector<vek::RegValue> EveryValueType(const vek::Text& text) {
  using vek::RegValue;
  std::vector<uint8_t> odd = RegValue::String(text).Data;
  odd.resize(odd.size() - 1);
  return {
      RegValue::String(text),
      RegValue::String(text, vek::kRegExpandSz),
      RegValue::Dword(1),
      RegValue::Qword(2),
      RegValue::Binary({1, 2, 3}),
      RegValue::MultiString({text, u"x"}),
      RegValue{vek::kRegNone, {}},
      RegValue{vek::kRegSz, {}},
      RegValue{vek::kRegSz, odd},
      RegValue{vek::kRegExpandSz, std::vector<uint8_t>(40000, 'e')},
      RegValue::Binary({}),
      RegValue::Binary({0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      RegValue::Binary({0x03, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}),
      RegValue::Binary(std::vector<uint8_t>(11, 0x03)),
      RegValue::Binary(std::vector<uint8_t>(65536, 0x03)),
  };
}

// One round per value of EveryValueType(text): a fresh Property whose registry
// arrange(registry, value) fills, where value(n) is the round's n-th value of
// the list (wrapping), then its Passes; each round expects no failure.
template <typename Property>
void EveryValueTypeRounds(const vek::Text& text, std::initializer_list<bool> passes,
                          const std::function<void(MemoryRegistry&, const std::function<vek::RegValue(size_t)>&)>& arrange) {
  const std::vector<vek::RegValue> values = EveryValueType(text);
  for (size_t round = 0; round < values.size(); ++round) {
    SCOPED_TRACE(round);
    Property property(round);
    arrange(property.Registry(), [&](size_t n) { return values[(round + n) % values.size()]; });
    property.Begin();
    EXPECT_EQ(property.Passes(passes), "") << property.Log();
  }
}

// A registry's dump without the subtrees of the given keys (dump paths such as
// "HKLM\SOFTWARE\X", compared without case). A key on the way to one of them
// may appear, empty, when a page makes its own key: such keys count only for
// their values.
inline std::vector<MemoryRegistry::KeyDump> DumpOutside(const std::vector<MemoryRegistry::KeyDump>& keys,
                                                        const std::vector<vek::Text>& own) {
  auto below = [](vek::TextView path, vek::TextView top) {
    return path.size() >= top.size() && vek::StartsText(top, path) &&
           (path.size() == top.size() || path[top.size()] == u'\\');
  };
  std::vector<MemoryRegistry::KeyDump> kept;
  for (const auto& key : keys) {
    bool drop = false;
    for (const vek::Text& top : own) {
      if (below(key.Path, top) || (key.Values.empty() && below(top, key.Path))) drop = true;
    }
    if (!drop) kept.push_back(key);
  }
  return kept;
}

// The first difference between two such dumps, or nothing.
inline std::string FirstDifference(const std::vector<MemoryRegistry::KeyDump>& before,
                                   const std::vector<MemoryRegistry::KeyDump>& after) {
  std::map<vek::Text, const MemoryRegistry::KeyDump*> now;
  for (const auto& key : after) now.emplace(key.Path, &key);
  for (const auto& key : before) {
    auto it = now.find(key.Path);
    if (it == now.end()) return "key gone outside the page's keys: " + vek::ToUtf8(key.Path);
    if (it->second->Values != key.Values) return "values changed outside the page's keys: " + vek::ToUtf8(key.Path);
    now.erase(it);
  }
  if (!now.empty()) return "key made outside the page's keys: " + vek::ToUtf8(now.begin()->first);
  return {};
}

}  // namespace qvtest
