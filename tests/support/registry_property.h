#pragma once
// What the pages' property tests share: the seeded run of many sequences, refused
// changes at random, and the diff of everything outside a page's own keys.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/support/memory_registry.h"

namespace qvtest {

// Runs sequence(seed) for seeds first, first + 1, ... (10,000 of them, or
// QUORVANE_PROPERTY_SEQUENCES), or only for QUORVANE_PROPERTY_SEED when that is
// set. A sequence returns what went wrong, or nothing; the first failure is
// reported with its seed and ends the run.
inline void RunSequences(uint64_t first, const std::function<std::string(uint64_t seed)>& sequence) {
  const char* only = std::getenv("QUORVANE_PROPERTY_SEED");
  const char* count = std::getenv("QUORVANE_PROPERTY_SEQUENCES");
  const uint64_t runs = only ? 1 : count ? std::strtoull(count, nullptr, 10) : 10000;
  for (uint64_t i = 0; i < runs; ++i) {
    const uint64_t seed = only ? std::strtoull(only, nullptr, 10) : first + i;
    const std::string failure = sequence(seed);
    if (!failure.empty()) {
      ADD_FAILURE() << "seed " << seed << " (replay with QUORVANE_PROPERTY_SEED=" << seed << "):\n" << failure;
      return;
    }
  }
}

// Refuses each change through the registry's keys with a given probability,
// drawing from the sequence's own generator, and counts the refusals.
class RandomFaults {
 public:
  RandomFaults(MemoryRegistry& mem, std::mt19937_64& rng) : mem_(mem), rng_(rng) {
    mem_.InjectFaults([this](MemoryRegistry::Change, uint32_t, const vek::Text&) {
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

 private:
  MemoryRegistry& mem_;
  std::mt19937_64& rng_;
  double rate_ = 0;
  int fired_ = 0;
};

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
