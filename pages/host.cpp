#include "pages/host.h"

namespace pages {

TPageHost* FrmQuorvane = nullptr;

}  // namespace pages
