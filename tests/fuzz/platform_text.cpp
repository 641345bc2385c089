// Texts that come from other programs' registry entries and the user's keep-list
// files: command lines, raw registry data, keep-list entries and paths. Never
// crash, and keep the invariants the pages rely on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/folders.h"
#include "pages/clean/keeplist.h"
#include "vek/process.h"
#include "vek/registry.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Each byte one code unit, so that quotes, blanks, '%' and '\' are frequent.
vek::Text Units(const uint8_t* p, size_t n) {
  vek::Text t;
  for (size_t i = 0; i < n; ++i) t.push_back(p[i] == 0xFF ? u'한' : char16_t(p[i]));
  return t;
}

const core::FolderVarList& Folders() {
  static const core::FolderVarList vars = core::BuildFolderVars(
      [](int csidl) -> vek::Text {
        if (csidl == 36) return u"C:\\Windows";
        if (csidl == 44) return u"";  // an unresolved row takes no part
        return u"C:\\Program Files (x86)";
      },
      true);
  return vars;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Raw registry data of any size.
  const std::vector<uint8_t> bytes(data, data + size);
  const vek::Text text = vek::RegDataText(bytes);
  Check(text.size() <= size / 2);
  Check(text.find(u'\0') == vek::Text::npos);
  for (const vek::Text& item : vek::RegDataMultiString(bytes)) Check(!item.empty() && item.size() <= size / 2);

  const vek::Text line = Units(data, size);
  vek::Text file, params;
  vek::SplitCommandLine(line, file, params);
  Check(file.size() + params.size() <= line.size());
  Check(file == vek::Trim(file) && params == vek::Trim(params));

  const vek::Text folded = core::FoldPath(Folders(), line);
  // Folding is undone by expansion, up to the case of the folder's letters.
  if (folded != line) Check(vek::SameText(core::ExpandPath(Folders(), folded), line));

  const size_t half = size / 2;
  const std::vector<vek::Text> keep = {Units(data, half)};
  const vek::Text name = Units(data + half, size - half);
  core::FolderVars = Folders();
  pages::clean::ProcessExists(keep, name);
  return 0;
}
