#include "vek/sysinfo.h"

namespace vek {
namespace {
bool g_native_x64 = false;
}

bool IsNativeX64() { return g_native_x64; }
void SetNativeX64(bool nativeX64) { g_native_x64 = nativeX64; }

}  // namespace vek
