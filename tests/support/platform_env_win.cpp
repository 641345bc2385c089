// Every Windows test runs with the program's start-up done: the Windows
// registry, process system and shell behind their seams, and FolderVars built.
#include <gtest/gtest.h>

#include "app/lib.h"

namespace {

class PlatformEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { lib::InitLib(); }
};

const auto* const registered = ::testing::AddGlobalTestEnvironment(new PlatformEnvironment);

}  // namespace
