#pragma once
// Which seeds a property test runs. By default count seeds from first;
// QUORVANE_PROPERTY_SEQUENCES sets another count, and QUORVANE_PROPERTY_SEED
// runs that one seed alone, as a failure message says to replay it.
#include <cstdint>
#include <cstdlib>
#include <string>

namespace qvtest {

struct SeedRange {
  uint64_t First = 0, Count = 0;
  uint64_t End() const { return First + Count; }
};

inline SeedRange PropertySeeds(uint64_t first, uint64_t count) {
  if (const char* s = std::getenv("QUORVANE_PROPERTY_SEQUENCES")) count = std::strtoull(s, nullptr, 0);
  if (const char* s = std::getenv("QUORVANE_PROPERTY_SEED")) first = std::strtoull(s, nullptr, 0), count = 1;
  return {first, count};
}

// "seed N (replay with QUORVANE_PROPERTY_SEED=N)", the head of a failure message.
inline std::string ReplayNote(uint64_t seed) {
  const std::string n = std::to_string(seed);
  return "seed " + n + " (replay with QUORVANE_PROPERTY_SEED=" + n + ")";
}

}  // namespace qvtest
