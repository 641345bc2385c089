// Stack walks as a property, against a simulated process. Seeded random call
// chains: x86_64 functions with random prologues (pushes, small and large
// allocations, any register as the frame register at a random offset with
// alloca below it, saves by offset, chained unwind entries) run up to a call, the innermost one
// stopped anywhere, also inside its prologue; i686 frames linked by ebp. For
// each, the walk must give exactly the chain's return addresses. Then the
// stack is smashed (a frame pointer or a saved link into a no-access page, a
// return address overwritten): the walk reads only through the reader, never
// outside what is mapped, ends, and keeps the frames before the damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "app/crash_walk.h"

namespace {

// Mapped regions of a process; everything else is unreadable, like the
// no-access page at kNoAccess.
class FakeMemory : public app::MemoryReader {
 public:
  // Pages are made as they are first written; a mapped page never written
  // reads as 0xCC.
  void Map(uint64_t at, uint64_t size) { mapped_.push_back({at, at + size}); }
  template <typename T>
  void Put(uint64_t at, const T& value) {
    ASSERT_TRUE(Mapped(at, sizeof value)) << std::hex << at;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    for (size_t i = 0; i < sizeof value; ++i) Page(at + i)[(at + i) % kPage] = bytes[i];
  }
  bool Read(uint64_t address, void* out, size_t size) override {
    if (!Mapped(address, size)) return false;
    auto* bytes = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < size; ++i) {
      auto it = pages_.find((address + i) / kPage);
      bytes[i] = it == pages_.end() ? 0xCC : it->second[(address + i) % kPage];
    }
    return true;
  }

 private:
  static constexpr uint64_t kPage = 4096;
  bool Mapped(uint64_t at, uint64_t size) const {
    for (const auto& [low, high] : mapped_)
      if (at >= low && at <= high && high - at >= size) return true;
    return false;
  }
  std::vector<uint8_t>& Page(uint64_t at) {
    std::vector<uint8_t>& page = pages_[at / kPage];
    if (page.empty()) page.assign(kPage, 0xCC);
    return page;
  }
  std::vector<std::pair<uint64_t, uint64_t>> mapped_;
  std::map<uint64_t, std::vector<uint8_t>> pages_;
};

constexpr uint64_t kBase = 0x140000000;
constexpr uint64_t kStackLow = 0x1000000, kStackTop = 0x2000000;
constexpr uint64_t kNoAccess = 0x7FF00000;
constexpr int kRsp = 4, kRbp = 5;

// One x86_64 function's prologue, in the order it runs.
struct Step {
  enum Kind { Push, Alloc, SetFrame, Save } What;
  int Reg = 0;
  uint32_t Value = 0;  // Alloc: bytes; Save: 8-byte slot above the allocation
  uint8_t End = 0;     // offset of the next instruction
};

struct Function {
  uint32_t Begin = 0;
  std::vector<Step> Prologue;
  int FrameReg = 0;     // the frame register, when the prologue sets one
  int FrameOffset = 0;  // in 16-byte units
  bool Chained = false;  // the allocation and saves sit in a chained entry
  uint8_t PrologSize = 0;
};

class X64Process {
 public:
  explicit X64Process(std::mt19937_64& rng) : rng_(rng) {}

  Function Make(uint32_t begin) {
    Function f;
    f.Begin = begin;
    std::vector<int> nonvol = {3, 5, 6, 7, 12, 13, 14, 15};
    std::shuffle(nonvol.begin(), nonvol.end(), rng_);
    const bool frame = Pick(2);
    uint8_t at = 0;
    auto add = [&](Step s, uint8_t length) {
      at += length;
      s.End = at;
      f.Prologue.push_back(s);
    };
    // Any nonvolatile register may hold the frame, not only rbp; it is pushed first.
    if (frame) {
      f.FrameReg = nonvol[0];
      add({Step::Push, f.FrameReg}, f.FrameReg >= 8 ? 2 : 1);
    }
    size_t used = 0;
    for (int reg : nonvol)
      if (reg != f.FrameReg && Pick(3) == 0 && used++ < 4) add({Step::Push, reg}, reg >= 8 ? 2 : 1);
    static const uint32_t kSizes[] = {0, 8, 0x28, 0x78, 0x80, 0x88, 0x1000, 0x7FFF8, 0x80008};
    const uint32_t alloc = kSizes[Pick(std::size(kSizes))];
    f.Chained = alloc && Pick(3) == 0;
    if (alloc) add({Step::Alloc, 0, alloc}, alloc <= 128 ? 4 : 7);
    if (frame) {
      f.FrameOffset = int(Pick(std::min<uint32_t>(15, alloc / 16) + 1));
      add({Step::SetFrame, f.FrameReg}, 5);
    }
    std::vector<uint32_t> slots;  // each save has a slot of its own
    for (int reg : nonvol) {
      if (reg == f.FrameReg || alloc < 64 || Pick(3) || Pushed(f, reg)) continue;
      uint32_t slot = uint32_t(Pick(alloc / 8 - 1));
      while (std::find(slots.begin(), slots.end(), slot) != slots.end()) slot = (slot + 1) % (alloc / 8 - 1);
      slots.push_back(slot);
      add({Step::Save, reg, slot}, 5);
    }
    f.PrologSize = at;
    return f;
  }

  // The function table and unwind data of the functions, in the module.
  void Emit(FakeMemory& memory, const std::vector<Function>& functions, uint32_t tableRva) {
    uint32_t infoRva = tableRva + 0x1000;
    for (size_t i = 0; i < functions.size(); ++i) {
      const Function& f = functions[i];
      const uint32_t entry[3] = {f.Begin, f.Begin + 0x800, infoRva};
      memory.Put(kBase + tableRva + i * 12, entry);
      // Chained: the allocation and what follows in the primary entry, the
      // pushes before it in the chained one.
      std::vector<Step> primary, parent;
      bool seenAlloc = false;
      for (const Step& s : f.Prologue) {
        if (s.What == Step::Alloc) seenAlloc = true;
        (f.Chained && !seenAlloc ? parent : primary).push_back(s);
      }
      if (!f.Chained) parent.clear();
      infoRva = EmitInfo(memory, infoRva, f, f.Chained ? primary : f.Prologue, f.Chained);
      if (f.Chained) {
        // The chained entry follows the primary's codes; its own info comes
        // at the next free place.
        const uint32_t slot = chainSlot_, parentRva = infoRva;
        infoRva = EmitInfo(memory, parentRva, f, parent, false);
        const uint32_t chainedEntry[3] = {f.Begin, f.Begin + 0x800, parentRva};
        memory.Put(kBase + slot, chainedEntry);
      }
    }
  }

  // Runs a prologue up to offset on the machine, then the body (which
  // clobbers the saved registers and may move the stack below a frame).
  void Run(FakeMemory& memory, const Function& f, uint32_t offset, bool body, app::X64Registers& r) {
    uint64_t frame = 0;
    for (const Step& s : f.Prologue) {
      if (s.End > offset) break;
      switch (s.What) {
        case Step::Push:
          r.Gpr[kRsp] -= 8;
          memory.Put(r.Gpr[kRsp], r.Gpr[s.Reg]);
          break;
        case Step::Alloc:
          r.Gpr[kRsp] -= s.Value;
          break;
        case Step::SetFrame:
          r.Gpr[f.FrameReg] = r.Gpr[kRsp] + f.FrameOffset * 16;
          break;
        case Step::Save:
          frame = Has(f, Step::SetFrame) ? r.Gpr[f.FrameReg] - f.FrameOffset * 16 : r.Gpr[kRsp];
          memory.Put(frame + s.Value * 8, r.Gpr[s.Reg]);
          break;
      }
    }
    if (!body) return;
    // The body may change what the prologue saved, its frame register aside.
    for (const Step& s : f.Prologue)
      if ((s.What == Step::Push || s.What == Step::Save) && s.Reg != f.FrameReg) r.Gpr[s.Reg] = rng_();
    if (Has(f, Step::SetFrame)) r.Gpr[kRsp] -= 16 * Pick(64);  // alloca
  }

  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

 private:
  static bool Pushed(const Function& f, int reg) {
    for (const Step& s : f.Prologue)
      if (s.What == Step::Push && s.Reg == reg) return true;
    return false;
  }
  static bool Has(const Function& f, Step::Kind kind) {
    for (const Step& s : f.Prologue)
      if (s.What == kind) return true;
    return false;
  }

  uint32_t EmitInfo(FakeMemory& memory, uint32_t rva, const Function& f, const std::vector<Step>& steps, bool chained) {
    std::vector<uint16_t> codes;
    for (auto s = steps.rbegin(); s != steps.rend(); ++s) {
      auto code = [&](uint8_t op, uint8_t info) { return uint16_t(s->End | op << 8 | info << 12); };
      switch (s->What) {
        case Step::Push: codes.push_back(code(0, uint8_t(s->Reg))); break;
        case Step::Alloc:
          if (s->Value <= 128) {
            codes.push_back(code(2, uint8_t(s->Value / 8 - 1)));
          } else if (s->Value <= 0x7FFF8) {
            codes.push_back(code(1, 0));
            codes.push_back(uint16_t(s->Value / 8));
          } else {
            codes.push_back(code(1, 1));
            codes.push_back(uint16_t(s->Value));
            codes.push_back(uint16_t(s->Value >> 16));
          }
          break;
        case Step::SetFrame: codes.push_back(code(3, 0)); break;
        case Step::Save:
          codes.push_back(code(4, uint8_t(s->Reg)));
          codes.push_back(uint16_t(s->Value));
          break;
      }
    }
    const bool frame = [&] {
      for (const Step& s : f.Prologue)
        if (s.What == Step::SetFrame) return true;
      return false;
    }();
    const uint8_t head[4] = {uint8_t(1 | (chained ? 4 : 0) << 3), f.PrologSize, uint8_t(codes.size()),
                             uint8_t(frame ? f.FrameReg | f.FrameOffset << 4 : 0)};
    memory.Put(kBase + rva, head);
    for (size_t i = 0; i < codes.size(); ++i) memory.Put(kBase + rva + 4 + i * 2, codes[i]);
    const uint32_t after = rva + 4 + uint32_t((codes.size() + 1) & ~size_t(1)) * 2;
    chainSlot_ = after;
    return after + (chained ? 12 : 0) + 4;
  }

  std::mt19937_64& rng_;
  uint32_t chainSlot_ = 0;
};

uint64_t Seed() {
  const char* given = std::getenv("QV_SEED");
  return given ? std::strtoull(given, nullptr, 10) : std::random_device{}();
}

TEST(CrashWalk, X64UnwindGivesEveryReturnAddressAndSmashedStacksEndTheWalk) {
  const uint64_t seed = Seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (QV_SEED repeats it)");
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    FakeMemory memory;
    memory.Map(kBase, 0x40000);
    memory.Map(kStackLow, kStackTop - kStackLow);
    X64Process process(rng);
    const size_t depth = 1 + process.Pick(12);
    std::vector<Function> functions;
    for (size_t i = 0; i < depth; ++i) functions.push_back(process.Make(0x1000 + uint32_t(i) * 0x1000));
    process.Emit(memory, functions, 0x20000);
    const app::CodeModule module{kBase, kBase + 0x40000, 0x20000, uint32_t(depth * 12)};

    // The outermost function returns to nobody; each calls the next.
    app::X64Registers r;
    for (uint64_t& g : r.Gpr) g = rng();
    r.Gpr[kRsp] = kStackTop - 0x100 - 16 * process.Pick(16);
    r.Gpr[kRsp] -= 8;
    memory.Put(r.Gpr[kRsp], uint64_t(0));
    std::vector<uint64_t> want;
    uint32_t offset = 0;
    for (size_t i = 0; i < depth; ++i) {
      const Function& f = functions[i];
      const bool innermost = i + 1 == depth;
      // A chained entry's prologue has run in full wherever it applies.
      offset = innermost && !f.Chained && process.Pick(3) == 0 ? uint32_t(process.Pick(f.PrologSize + 1)) : 0x400 + uint32_t(process.Pick(0x300));
      process.Run(memory, f, offset, offset >= f.PrologSize, r);
      if (innermost) break;
      const uint64_t ret = kBase + f.Begin + offset + 5;
      r.Gpr[kRsp] -= 8;
      memory.Put(r.Gpr[kRsp], ret);
      want.insert(want.begin(), ret);
    }
    r.Rip = kBase + functions.back().Begin + offset;
    want.insert(want.begin(), r.Rip);

    uint64_t frames[64];
    size_t n = app::WalkX64(r, &module, 1, memory, frames, std::size(frames));
    ASSERT_EQ(std::vector<uint64_t>(frames, frames + n), want);
    // A limit below the chain's length cuts it.
    EXPECT_EQ(app::WalkX64(r, &module, 1, memory, frames, 2), std::min<size_t>(2, want.size()));

    // Smashed: the frame register into the no-access page, or the stack
    // pointer there. Nothing past the first frame can be trusted, and
    // nothing faults.
    app::X64Registers smashed = r;
    smashed.Gpr[process.Pick(2) ? kRbp : kRsp] = kNoAccess + 8 * process.Pick(512);
    n = app::WalkX64(smashed, &module, 1, memory, frames, std::size(frames));
    ASSERT_GE(n, 1u);
    EXPECT_EQ(frames[0], r.Rip);
    EXPECT_LE(n, std::size(frames));
  }
}

TEST(CrashWalk, FramePointerWalkFollowsTheChainAndStopsAtASmashedLink) {
  const uint64_t seed = Seed();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (QV_SEED repeats it)");
  std::mt19937_64 rng(seed);
  auto pick = [&](uint32_t n) { return uint32_t(std::uniform_int_distribution<uint32_t>(0, n - 1)(rng)); };
  const app::CodeModule module{0x400000, 0x480000, 0, 0};
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    FakeMemory memory;
    memory.Map(kStackLow, kStackTop - kStackLow);
    const size_t depth = 1 + pick(20);
    // Frames from the outermost down: [ebp] the caller's ebp, [ebp + 4] the
    // return address, locals below.
    std::vector<uint32_t> ebps, rets;
    uint32_t ebp = 0, esp = uint32_t(kStackTop) - 64;
    for (size_t i = 0; i < depth; ++i) {
      esp -= 4;
      const uint32_t ret = 0x401000 + pick(0x7F000);
      memory.Put(esp, ret);
      esp -= 4;
      memory.Put(esp, ebp);
      ebp = esp;
      ebps.push_back(ebp);
      rets.push_back(ret);
      esp -= 4 * pick(64);
    }
    // The outermost frame's link is zero: its return address is the last.
    const uint32_t eip = 0x401000 + pick(0x7F000);
    std::vector<uint64_t> want = {eip};
    for (size_t i = depth; i-- > 0;) want.push_back(rets[i]);

    uint64_t frames[64];
    size_t n = app::WalkFramePointers(eip, ebp, &module, 1, memory, frames, std::size(frames));
    ASSERT_EQ(std::vector<uint64_t>(frames, frames + n), want);

    // A saved link smashed into the no-access page: the walk keeps the frames
    // up to that frame's return address and reads nothing it cannot.
    const size_t at = pick(uint32_t(depth));
    memory.Put(ebps[at], uint32_t(kNoAccess) + 4 * pick(1024));
    n = app::WalkFramePointers(eip, ebp, &module, 1, memory, frames, std::size(frames));
    want.resize(1 + depth - at);
    EXPECT_EQ(std::vector<uint64_t>(frames, frames + n), want);
    // The frame pointer itself there: the faulting place alone.
    EXPECT_EQ(app::WalkFramePointers(eip, uint32_t(kNoAccess), &module, 1, memory, frames, std::size(frames)), 1u);
    EXPECT_EQ(app::WalkFramePointers(eip, ebp + 2, &module, 1, memory, frames, std::size(frames)), 1u);
  }
}

TEST(CrashWalk, ImageFactsComeFromTheHeadersOrNotAtAll) {
  FakeMemory memory;
  memory.Map(kBase, 0x1000);
  memory.Put(kBase, uint16_t(0x5A4D));
  memory.Put(kBase + 0x3C, int32_t(0x80));
  memory.Put(kBase + 0x80, uint32_t(0x4550));
  memory.Put(kBase + 0x88, uint32_t(0x5F00AA11));
  memory.Put(kBase + 0x98, uint16_t(0x20B));
  memory.Put(kBase + 0x98 + 108, uint32_t(16));
  memory.Put(kBase + 0x98 + 112 + 24, uint32_t(0x3000));
  memory.Put(kBase + 0x98 + 112 + 28, uint32_t(0x240));
  app::ImageFacts facts = app::ReadImageFacts(memory, kBase);
  EXPECT_TRUE(facts.Valid);
  EXPECT_EQ(facts.Timestamp, 0x5F00AA11u);
  EXPECT_EQ(facts.FunctionsRva, 0x3000u);
  EXPECT_EQ(facts.FunctionsSize, 0x240u);
  // A PE32 image keeps its directories 16 bytes earlier.
  memory.Put(kBase + 0x98, uint16_t(0x10B));
  memory.Put(kBase + 0x98 + 92, uint32_t(16));
  memory.Put(kBase + 0x98 + 96 + 24, uint32_t(0x5000));
  EXPECT_EQ(app::ReadImageFacts(memory, kBase).FunctionsRva, 0x5000u);
  // Headers pointing outside what is mapped, or not a PE image's.
  memory.Put(kBase + 0x3C, int32_t(0xFF0));
  EXPECT_FALSE(app::ReadImageFacts(memory, kBase).Valid);
  EXPECT_FALSE(app::ReadImageFacts(memory, kNoAccess).Valid);
}

}  // namespace
