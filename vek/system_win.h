#pragma once
// Machine key, privileges and file-system redirection of the running process.
#include "vek/text.h"

namespace vek {

// Lower-case hex SHA-1 of the MAC addresses of the PC's physical adapters (leaving
// out VMware, Bluetooth, virtual, sharing and mobile ones), or 40 zeros when none
// was gathered. Asks WMI afresh on every call; the calling thread must have COM
// initialised. Never throws.
Text GetUnionKey();

// Enables or disables a privilege of the process token. Failures change nothing
// and are not reported.
void SetPrivilege(TextView name, bool enable);

// Turns WOW64 file-system redirection off (true) or back on (false) for the
// calling thread. Does nothing where the entry points are missing (32-bit Windows,
// and a 64-bit process, where redirection never applies).
void DisableWow64FsRedirection(bool disable);

}  // namespace vek
