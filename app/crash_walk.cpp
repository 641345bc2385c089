#include "app/crash_walk.h"

namespace app {
namespace {

template <typename T>
bool ReadValue(MemoryReader& memory, uint64_t at, T& out) {
  return memory.Read(at, &out, sizeof out);
}

const CodeModule* ModuleOf(const CodeModule* modules, size_t count, uint64_t at) {
  for (size_t i = 0; i < count; ++i)
    if (at >= modules[i].Base && at < modules[i].End) return &modules[i];
  return nullptr;
}

struct RuntimeFunction {
  uint32_t Begin, End, UnwindData;  // RVAs
};
static_assert(sizeof(RuntimeFunction) == 12);

// The module's table entry whose [Begin, End) holds the address, by binary
// search over the table read entry by entry.
bool FindFunction(MemoryReader& memory, const CodeModule& module, uint64_t at, RuntimeFunction& out) {
  const uint64_t rva = at - module.Base;
  size_t lo = 0, hi = module.FunctionsRva ? module.FunctionsSize / sizeof(RuntimeFunction) : 0;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    RuntimeFunction entry;
    if (!ReadValue(memory, module.Base + module.FunctionsRva + mid * sizeof entry, entry)) return false;
    if (rva < entry.Begin) {
      hi = mid;
    } else if (rva >= entry.End) {
      lo = mid + 1;
    } else {
      // An odd unwind address points at the entry that holds the unwind data.
      if (entry.UnwindData & 1 && !ReadValue(memory, module.Base + (entry.UnwindData & ~1u), entry)) return false;
      out = entry;
      return true;
    }
  }
  return false;
}

enum : uint8_t {
  kPushNonvol = 0,
  kAllocLarge = 1,
  kAllocSmall = 2,
  kSetFpreg = 3,
  kSaveNonvol = 4,
  kSaveNonvolFar = 5,
  kPushMachframe = 10,
};
constexpr uint8_t kChainInfo = 0x4;
constexpr int kRsp = 4;

uint8_t CodeOffset(uint16_t code) { return uint8_t(code & 0xFF); }
uint8_t CodeOp(uint16_t code) { return uint8_t((code >> 8) & 0xF); }
uint8_t CodeInfo(uint16_t code) { return uint8_t(code >> 12); }

// Slots an unwind code takes, with the ones that follow it.
size_t CodeSlots(uint16_t code) {
  switch (CodeOp(code)) {
    case kAllocLarge: return CodeInfo(code) ? 3 : 2;
    case kSaveNonvol:
    case 6:  // a 128-bit save in version 1, an epilogue's description in version 2
    case 8:
      return 2;
    case kSaveNonvolFar:
    case 7:
    case 9:
      return 3;
    default:
      return 1;
  }
}

// Undoes one function's prologue on the registers and pops its return
// address into Rip: what RtlVirtualUnwind does, reading through memory.
bool UnwindFunction(MemoryReader& memory, uint64_t base, RuntimeFunction function, uint64_t at, X64Registers& r) {
  const uint64_t offset = at - (base + function.Begin);
  bool primary = true;  // a chained entry's prologue has run in full
  for (int chain = 0; chain < 32; ++chain) {
    const uint64_t info = base + function.UnwindData;
    uint8_t head[4];
    if (!memory.Read(info, head, sizeof head)) return false;
    const uint8_t version = head[0] & 7, flags = head[0] >> 3, prologSize = head[1], count = head[2];
    const uint8_t frameRegister = head[3] & 0xF, frameOffset = head[3] >> 4;
    if (version < 1 || version > 2) return false;
    uint16_t codes[256];
    if (count && !memory.Read(info + 4, codes, count * sizeof codes[0])) return false;
    const bool inPrologue = primary && offset < prologSize;
    auto ran = [&](uint16_t code) { return !inPrologue || CodeOffset(code) <= offset; };

    // Saves count from the frame the prologue set up: the frame register
    // less its offset once it is set, else the stack pointer.
    uint64_t frame = r.Gpr[kRsp];
    if (frameRegister)
      for (size_t i = 0; i < count; i += CodeSlots(codes[i]))
        if (CodeOp(codes[i]) == kSetFpreg && ran(codes[i])) frame = r.Gpr[frameRegister] - frameOffset * 16u;

    for (size_t i = 0; i < count;) {
      const uint16_t code = codes[i];
      const size_t slots = CodeSlots(code);
      if (i + slots > count) return false;
      const uint8_t reg = CodeInfo(code);
      if (ran(code)) {
        switch (CodeOp(code)) {
          case kPushNonvol:
            if (!ReadValue(memory, r.Gpr[kRsp], r.Gpr[reg])) return false;
            r.Gpr[kRsp] += 8;
            break;
          case kAllocLarge:
            r.Gpr[kRsp] += reg ? (uint32_t(codes[i + 1]) | uint32_t(codes[i + 2]) << 16) : codes[i + 1] * 8u;
            break;
          case kAllocSmall:
            r.Gpr[kRsp] += reg * 8u + 8;
            break;
          case kSetFpreg:
            r.Gpr[kRsp] = r.Gpr[frameRegister] - frameOffset * 16u;
            break;
          case kSaveNonvol:
            if (!ReadValue(memory, frame + codes[i + 1] * 8u, r.Gpr[reg])) return false;
            break;
          case kSaveNonvolFar:
            if (!ReadValue(memory, frame + (uint32_t(codes[i + 1]) | uint32_t(codes[i + 2]) << 16), r.Gpr[reg]))
              return false;
            break;
          case kPushMachframe: {
            // The processor's own frame of an interrupt or exception: the
            // interrupted Rip and Rsp, after an error code when info says so.
            const uint64_t at = r.Gpr[kRsp] + (reg ? 8 : 0);
            uint64_t rip, rsp;
            if (!ReadValue(memory, at, rip) || !ReadValue(memory, at + 24, rsp)) return false;
            r.Rip = rip;
            r.Gpr[kRsp] = rsp;
            return true;
          }
          case 6:
          case 7:
          case 8:
          case 9:
            break;  // vector registers and epilogues: nothing the walk needs
          default:
            return false;
        }
      }
      i += slots;
    }
    if (!(flags & kChainInfo)) break;
    if (!ReadValue(memory, info + 4 + ((count + 1u) & ~1u) * 2u, function)) return false;
    primary = false;
  }
  uint64_t rip;
  if (!ReadValue(memory, r.Gpr[kRsp], rip)) return false;
  r.Rip = rip;
  r.Gpr[kRsp] += 8;
  return true;
}

}  // namespace

ImageFacts ReadImageFacts(MemoryReader& memory, uint64_t base) {
  ImageFacts facts;
  uint16_t magic = 0;
  int32_t headerAt = 0;
  if (!ReadValue(memory, base, magic) || magic != 0x5A4D || !ReadValue(memory, base + 0x3C, headerAt) ||
      headerAt <= 0 || headerAt > 0x10000)
    return facts;
  const uint64_t nt = base + uint32_t(headerAt);
  uint32_t signature = 0, timestamp = 0;
  uint16_t optionalMagic = 0;
  if (!ReadValue(memory, nt, signature) || signature != 0x00004550 || !ReadValue(memory, nt + 8, timestamp) ||
      !ReadValue(memory, nt + 24, optionalMagic))
    return facts;
  // Where the directory count and the directories start in PE32+ and PE32.
  uint64_t countAt, directoriesAt;
  if (optionalMagic == 0x20B) {
    countAt = nt + 24 + 108;
    directoriesAt = nt + 24 + 112;
  } else if (optionalMagic == 0x10B) {
    countAt = nt + 24 + 92;
    directoriesAt = nt + 24 + 96;
  } else {
    return facts;
  }
  facts.Valid = true;
  facts.Timestamp = timestamp;
  constexpr uint32_t kExceptionDirectory = 3;
  uint32_t directories = 0, exception[2];
  if (ReadValue(memory, countAt, directories) && directories > kExceptionDirectory &&
      ReadValue(memory, directoriesAt + kExceptionDirectory * 8, exception)) {
    facts.FunctionsRva = exception[0];
    facts.FunctionsSize = exception[1];
  }
  return facts;
}

size_t WalkX64(X64Registers r, const CodeModule* modules, size_t moduleCount, MemoryReader& memory, uint64_t* frames,
               size_t max) {
  size_t n = 0;
  while (n < max && r.Rip) {
    frames[n++] = r.Rip;
    // A return address of a call that never returns is already the next
    // function's first byte: the call itself tells the function.
    const uint64_t at = n == 1 ? r.Rip : r.Rip - 1;
    const uint64_t sp = r.Gpr[kRsp];
    const CodeModule* module = ModuleOf(modules, moduleCount, at);
    RuntimeFunction function;
    if (module && FindFunction(memory, *module, at, function)) {
      if (!UnwindFunction(memory, module->Base, function, at, r)) break;
    } else {
      // A leaf function: the return address is on top of the stack.
      uint64_t rip;
      if (!ReadValue(memory, sp, rip)) break;
      r.Rip = rip;
      r.Gpr[kRsp] = sp + 8;
    }
    if (r.Gpr[kRsp] <= sp) break;
  }
  return n;
}

size_t WalkFramePointers(uint32_t eip, uint32_t ebp, const CodeModule* modules, size_t moduleCount,
                         MemoryReader& memory, uint64_t* frames, size_t max) {
  size_t n = 0;
  if (max && eip) frames[n++] = eip;
  while (n < max && ebp && ebp % 4 == 0) {
    uint32_t frame[2];  // the caller's ebp, the return address
    if (!ReadValue(memory, ebp, frame) || !frame[1]) break;
    if (frame[0] <= ebp) {
      if (ModuleOf(modules, moduleCount, frame[1])) frames[n++] = frame[1];
      break;
    }
    frames[n++] = frame[1];
    ebp = frame[0];
  }
  return n;
}

}  // namespace app
