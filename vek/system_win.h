#pragma once
// Machine key, privileges and file-system redirection of the running process.
#include <array>
#include <cstdint>
#include <string_view>

#include "vek/text.h"

namespace vek {

// Lower-case hex SHA-1 of the MAC addresses of the PC's physical adapters (leaving
// out VMware, Bluetooth, virtual, sharing and mobile ones), or 40 zeros when none
// was gathered. Asks WMI afresh on every call; the calling thread must have COM
// initialised. Never throws.
Text GetUnionKey();

// The SHA-1 digest of the bytes through CNG; 20 zero bytes only if CNG itself
// fails.
std::array<uint8_t, 20> Sha1(std::string_view bytes);

// Enables or disables a privilege of the process token. Failures change nothing
// and are not reported.
void SetPrivilege(TextView name, bool enable);

// Turns WOW64 file-system redirection off (true) or back on (false) for the
// calling thread. Does nothing where the entry points are missing (32-bit Windows,
// and a 64-bit process, where redirection never applies).
void DisableWow64FsRedirection(bool disable);

// Reserves stack for the calling thread's exception handling, so that after a
// stack overflow the crash handler still has room to run. First thing on every
// thread the program starts, the main thread included.
void GuaranteeFaultStack();

}  // namespace vek
