#pragma once
// Version text of the program's own file and the window-message filter.
#include <cstdint>

#include "vek/text.h"

namespace vek {

// The four parts of the program's file version put through Format ("%d.%d" gives
// "3.6"). "0.0.0.0" whenever the version resource cannot be read, whatever Format is.
Text GetAppVersion(TextView format);

// Lets processes of lower integrity send Message to this process's windows.
// False when ChangeWindowMessageFilter is missing or refuses.
bool AllowWindowMessage(uint32_t message);

}  // namespace vek
