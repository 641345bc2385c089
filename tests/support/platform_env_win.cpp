// Every Windows test runs with the program's start-up done: the Windows
// implementations behind every seam, and FolderVars built.
#include <gtest/gtest.h>

#include "app/seams_win.h"

namespace {

class PlatformEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { app::WireSeams(); }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new PlatformEnvironment);

}  // namespace
