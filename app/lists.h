#pragma once
// The two lists the program ships with. The main window copies them into
// ListWhite and ListBlack at creation; what the service and the NoClean.txt files
// add is appended to those copies, never to these.
#include <vector>

#include "vek/text.h"

namespace app {

// The keep-list: 213 entries in the keep-list syntax (name patterns ending in "*",
// then image paths under %CommonProgramFiles%, %CommonProgramFiles(x86)%,
// %ProgramFiles%, %ProgramFiles(x86)% and %SystemRoot%), one empty entry between
// groups. Built once, on first use; safe to call from any thread.
const std::vector<vek::Text>& BuiltinKeepList();

// The plug-in list: 37 display-name prefixes of security plug-ins that the
// forced-install page offers for removal, in shipped order.
const std::vector<vek::Text>& BuiltinPluginList();

}  // namespace app
