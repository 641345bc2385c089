#pragma once
// The confirmation the check-box pages show after the apply button.
#include <vector>

#include "vek/text.h"

namespace pages {

// The text when every row reached its tick.
extern const vek::TextView kAppliedMessage;

// kAppliedMessage when notChanged is empty; otherwise a message that names the
// rows that could not be changed (the first ten, each cut to 60 units, control
// characters shown as blanks, and how many more) and says that they are as
// they were.
vek::Text AppliedMessage(const std::vector<vek::Text>& notChanged);

}  // namespace pages
