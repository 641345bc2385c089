#pragma once
// The one place that puts the Windows implementations behind the seams the
// portable code reads through (registry, processes, install files, shell, the
// watchers' main-thread runner) and computes the facts fixed at start (the
// native-x64 flag, FolderVars).

namespace app {

// Called once by the program's entry before any window (and by the Windows
// tests before their first test).
void WireSeams();

}  // namespace app
