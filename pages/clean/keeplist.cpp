#include "pages/clean/keeplist.h"

#include <algorithm>

namespace pages::clean {

namespace {

// The entry as matching sees it: trimmed, then its leading folder variable
// expanded. Empty for an entry that keeps nothing (blank or a comment).
vek::TextView MatchForm(const vek::Text& raw, const core::FolderVarList& vars, vek::Text& expanded) {
  size_t b = 0, e = raw.size();
  while (b < e && raw[b] <= 0x20) ++b;
  while (e > b && raw[e - 1] <= 0x20) --e;
  vek::TextView entry(raw.data() + b, e - b);
  if (!entry.empty() && entry.front() == u'%') {
    expanded = core::ExpandPath(vars, entry);
    entry = expanded;
  }
  if (entry.substr(0, 2) == u"//") return {};
  return entry;
}

void SortUnique(std::vector<vek::Text>& texts) {
  std::sort(texts.begin(), texts.end());
  texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
}

}  // namespace

bool ProcessExists(const std::vector<vek::Text>& fileList, vek::TextView fileName) {
  // Matching ignores ASCII case on both sides, which is the same as comparing
  // the upper-cased forms without making them.
  vek::Text expanded;
  for (const vek::Text& raw : fileList) {
    const vek::TextView entry = MatchForm(raw, core::FolderVars, expanded);
    if (entry.empty()) continue;
    if (entry.back() == u'*') {
      if (vek::SameText(entry.substr(0, entry.size() - 1), fileName)) return true;
    } else if (vek::FindText(fileName, entry) != vek::TextView::npos) {
      return true;
    }
  }
  return false;
}

PreparedKeepList::PreparedKeepList(const std::vector<vek::Text>& fileList)
    : PreparedKeepList(fileList, core::FolderVars) {}

PreparedKeepList::PreparedKeepList(const std::vector<vek::Text>& fileList, const core::FolderVarList& vars) {
  vek::Text expanded;
  for (const vek::Text& raw : fileList) {
    const vek::TextView entry = MatchForm(raw, vars, expanded);
    if (entry.empty()) continue;
    if (entry.back() == u'*') FWholeNames.push_back(vek::UpperCase(entry.substr(0, entry.size() - 1)));
    else FContained.push_back(vek::UpperCase(entry));
  }
  // Order does not change a yes-or-no answer; a list padded with copies of one
  // entry then costs what one copy costs.
  SortUnique(FWholeNames);
  SortUnique(FContained);
}

bool PreparedKeepList::Keeps(vek::TextView fileName) const {
  const vek::Text name = vek::UpperCase(fileName);
  if (std::binary_search(FWholeNames.begin(), FWholeNames.end(), name)) return true;
  const vek::TextView view(name);
  for (const vek::Text& entry : FContained)
    if (entry.size() <= view.size() && view.find(entry) != vek::TextView::npos) return true;
  return false;
}

}  // namespace pages::clean
