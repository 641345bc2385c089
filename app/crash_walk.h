#pragma once
// Stack walks of a crashed process, done from outside it: every read of the
// walked process goes through a MemoryReader (ReadProcessMemory in the program),
// so that a smashed stack, a frame pointer into a no-access or guard page or a
// module being unloaded ends the walk instead of faulting the walker. Portable,
// so that the unwinding rules are tested natively against a fake memory.
//
// Nothing here allocates: a walk may run while the walked thread, suspended,
// holds the heap's lock of the process that walks.
#include <cstddef>
#include <cstdint>

namespace app {

// The walked process's memory.
class MemoryReader {
 public:
  virtual ~MemoryReader() = default;
  // Copies size bytes at address into out; false when any of them cannot be
  // read (then out is undefined).
  virtual bool Read(uint64_t address, void* out, size_t size) = 0;
};

// What a walk needs to know of one loaded module.
struct CodeModule {
  uint64_t Base = 0;
  uint64_t End = 0;            // Base + SizeOfImage
  uint32_t FunctionsRva = 0;   // x86_64: the exception directory (RUNTIME_FUNCTION table)
  uint32_t FunctionsSize = 0;  // in bytes; 0 when the module has none
};

// The facts of a module's PE headers the report and the walks use, read
// through memory; Valid false when the headers are not a PE image's.
struct ImageFacts {
  bool Valid = false;
  uint32_t Timestamp = 0;  // the file header's TimeDateStamp
  uint32_t FunctionsRva = 0, FunctionsSize = 0;
};
ImageFacts ReadImageFacts(MemoryReader& memory, uint64_t base);

// The x86_64 integer registers by their number in the unwind codes (RAX 0,
// RCX 1, RDX 2, RBX 3, RSP 4, RBP 5, RSI 6, RDI 7, R8..R15 8..15) and RIP.
struct X64Registers {
  uint64_t Gpr[16] = {};
  uint64_t Rip = 0;
};

// The return addresses of an x86_64 stack from its innermost context into
// frames[], innermost first (frames[0] is Rip); returns the count. Each frame
// is unwound with the unwind codes of its function in the modules' function
// tables (chained entries followed, codes of a prologue not yet run passed
// over); a place no table holds is taken as a leaf whose return address is on
// top of the stack. Past the first frame a return address is looked up by its
// byte before, the call itself. Ends at a zero or unreadable return address, a
// stack pointer that does not grow, or max frames.
size_t WalkX64(X64Registers registers, const CodeModule* modules, size_t moduleCount, MemoryReader& memory,
               uint64_t* frames, size_t max);

// The return addresses of an i686 stack along its frame-pointer chain: eip,
// then [ebp + 4] for each frame while [ebp] (the caller's ebp) lies above ebp;
// the return address of the last readable frame is kept when it lies in a
// module. Ends at an unreadable or misaligned frame or max frames.
size_t WalkFramePointers(uint32_t eip, uint32_t ebp, const CodeModule* modules, size_t moduleCount,
                         MemoryReader& memory, uint64_t* frames, size_t max);

}  // namespace app
