#include "pages/clean/keeplist.h"

#include "core/folders.h"

namespace pages::clean {

bool ProcessExists(const std::vector<vek::Text>& fileList, vek::TextView fileName) {
  // Matching ignores ASCII case on both sides, which is the same as comparing
  // the upper-cased forms without making them; this runs for every entry of a
  // few hundred against every process of a reset.
  vek::Text expanded;
  for (const vek::Text& raw : fileList) {
    size_t b = 0, e = raw.size();
    while (b < e && raw[b] <= 0x20) ++b;
    while (e > b && raw[e - 1] <= 0x20) --e;
    vek::TextView entry(raw.data() + b, e - b);
    if (!entry.empty() && entry.front() == u'%') {
      expanded = core::ExpandPath(entry);
      entry = expanded;
    }
    if (entry.empty() || entry.substr(0, 2) == u"//") continue;
    if (entry.back() == u'*') {
      if (vek::SameText(entry.substr(0, entry.size() - 1), fileName)) return true;
    } else if (vek::FindText(fileName, entry) != vek::TextView::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace pages::clean
