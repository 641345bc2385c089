#include "app/crash_report.h"

#include <algorithm>

#include "vek/strings.h"

namespace app {
namespace {

using vek::Text;
using vek::TextView;

Text Quoted(TextView text) { return u"\"" + vek::JsonEscape(ClipCrashText(text)) + u"\""; }
Text QuotedHex(uint64_t value) { return u"\"" + HexText(value) + u"\""; }
Text Number(uint64_t value) {
  std::string digits = std::to_string(value);
  return Text(digits.begin(), digits.end());
}

// The modules by base, for naming many addresses.
class ModuleIndex {
 public:
  explicit ModuleIndex(const std::vector<CrashModule>& modules) {
    for (const CrashModule& m : modules) byBase_.push_back(&m);
    std::stable_sort(byBase_.begin(), byBase_.end(), [](auto* a, auto* b) { return a->Base < b->Base; });
  }

  // "module":..,"offset":.. of an address.
  Text Place(uint64_t address) const {
    auto after = std::upper_bound(byBase_.begin(), byBase_.end(), address,
                                  [](uint64_t a, const CrashModule* m) { return a < m->Base; });
    if (after != byBase_.begin()) {
      const CrashModule& m = **(after - 1);
      if (address - m.Base < m.Size) return Located(m.Name, address - m.Base);
    }
    return Located(Text(), address);
  }

 private:
  static Text Located(TextView module, uint64_t offset) {
    return u"\"module\":" + Quoted(module) + u",\"offset\":" + QuotedHex(offset);
  }
  std::vector<const CrashModule*> byBase_;
};

Text ThreadJson(const CrashThread& thread, const ModuleIndex& modules) {
  Text out = u"{\"id\":" + Number(thread.Id) + u",\"crashed\":" + (thread.Crashed ? u"true" : u"false") +
             u",\"frames\":[";
  const size_t count = std::min(thread.Frames.size(), kCrashMaxFrames);
  for (size_t i = 0; i < count; ++i) {
    if (i) out += u",";
    out += u"{" + modules.Place(thread.Frames[i]) + u"}";
  }
  return out + u"]}";
}

Text ModuleJson(const CrashModule& m) {
  return u"{\"name\":" + Quoted(m.Name) + u",\"path\":" + Quoted(m.Path) + u",\"base\":" + QuotedHex(m.Base) +
         u",\"size\":" + QuotedHex(m.Size) + u",\"version\":" + Quoted(m.Version) + u",\"timestamp\":" +
         QuotedHex(m.Timestamp) + u"}";
}

Text ProcessJson(const CrashProcess& p) {
  return u"{\"pid\":" + Number(p.Pid) + u",\"name\":" + Quoted(p.Name) + u",\"path\":" + Quoted(p.Path) + u"}";
}

// Items in order while the budget lasts. An item that does not fit ends this
// list and uses up the budget, so that what goes is always a tail and nothing
// of a later list is kept while this one lost items.
std::vector<Text> TakeWhileFits(std::vector<Text> items, size_t& budget) {
  size_t kept = 0;
  for (; kept < items.size(); ++kept) {
    const size_t cost = items[kept].size() + 1;  // its comma
    if (cost > budget) {
      budget = 0;
      break;
    }
    budget -= cost;
  }
  items.resize(kept);
  return items;
}

Text Joined(const std::vector<Text>& items) {
  Text out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += u",";
    out += items[i];
  }
  return out;
}

}  // namespace

Text HexText(uint64_t value) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  char16_t buffer[16];
  size_t n = 0;
  do {
    buffer[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value);
  Text out = u"0x";
  while (n) out.push_back(buffer[--n]);
  return out;
}

Text ClipCrashText(TextView text) {
  if (text.size() <= kCrashMaxTextUnits) return Text(text);
  size_t n = kCrashMaxTextUnits;
  if (text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF && text[n] >= 0xDC00 && text[n] <= 0xDFFF) --n;
  return Text(text.substr(0, n));
}

Text CrashReportJson(const CrashReport& report) {
  const size_t moduleCount = std::min(report.Modules.size(), kCrashMaxModules);
  const std::vector<CrashModule> modules(report.Modules.begin(), report.Modules.begin() + moduleCount);
  const ModuleIndex index(modules);

  Text head = u"{\"program\":" + Quoted(report.Program) + u",\"version\":" + Quoted(report.Version) +
              u",\"unionkey\":" + Quoted(report.UnionKey) + u",\"windows\":" + Quoted(report.Windows) +
              u",\"arch\":" + Quoted(report.Arch) + u",\"exception\":{\"code\":" + QuotedHex(report.Code) + u"," +
              index.Place(report.Address) + u",\"thread\":" + Number(report.ThreadId) +
              u",\"info\":[";
  for (size_t i = 0; i < std::min(report.Info.size(), kCrashMaxInfo); ++i) head += (i ? u"," : u"") + QuotedHex(report.Info[i]);
  head += u"]},\"threads\":[";

  // Exactly one thread is sent as the crashed one, first, even when the
  // gatherer could not walk it.
  CrashThread crashed{report.ThreadId, true, {}};
  std::vector<Text> others;
  for (const CrashThread& t : report.Threads) {
    if (t.Id == report.ThreadId && t.Crashed) {
      crashed.Frames = t.Frames;
    } else if (others.size() + 1 < kCrashMaxThreads) {
      CrashThread other = t;
      other.Crashed = false;
      others.push_back(ThreadJson(other, index));
    }
  }
  head += ThreadJson(crashed, index);

  std::vector<Text> moduleItems, processItems;
  for (const CrashModule& m : modules) moduleItems.push_back(ModuleJson(m));
  for (size_t i = 0; i < std::min(report.Processes.size(), kCrashMaxProcesses); ++i)
    processItems.push_back(ProcessJson(report.Processes[i]));

  constexpr TextView kModulesOpen = u"],\"modules\":[", kProcessesOpen = u"],\"processes\":[", kClose = u"]}";
  const size_t fixed = head.size() + kModulesOpen.size() + kProcessesOpen.size() + kClose.size();
  size_t budget = fixed < kCrashMaxBodyBytes ? kCrashMaxBodyBytes - fixed : 0;
  moduleItems = TakeWhileFits(std::move(moduleItems), budget);
  processItems = TakeWhileFits(std::move(processItems), budget);
  others = TakeWhileFits(std::move(others), budget);

  Text out = std::move(head);
  for (const Text& t : others) out += u"," + t;
  out += kModulesOpen;
  out += Joined(moduleItems);
  out += kProcessesOpen;
  out += Joined(processItems);
  out += kClose;
  return out;
}

}  // namespace app
