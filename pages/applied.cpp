#include "pages/applied.h"

#include <string>

namespace pages {
namespace {

constexpr size_t kNamesShown = 10;
constexpr size_t kNameUnits = 60;

constexpr vek::TextView kNotChangedHead = u"\r다음 항목은 변경하지 못했습니다.\r\r";
constexpr vek::TextView kNotChangedTail =
    u"\r\r변경하지 못한 항목은 이전 상태 그대로 남아 있습니다.\r나머지 항목은 정상적으로 적용하였습니다.\r\r";

// One name on one line of the message: a name of 16,383 units or one holding
// line breaks must not push the rest of the message off the screen.
vek::Text ShownName(vek::TextView name) {
  vek::Text shown;
  for (char16_t c : name.substr(0, kNameUnits)) shown.push_back(c < 0x20 || c == 0x7F ? u' ' : c);
  // A surrogate pair cut in half would show as a replacement character.
  if (!shown.empty() && shown.back() >= 0xD800 && shown.back() <= 0xDBFF) shown.pop_back();
  if (name.size() > kNameUnits) shown += u"…";
  if (shown.empty()) shown = u"(이름 없음)";
  return shown;
}

}  // namespace

const vek::TextView kAppliedMessage =
    u"\r정상적으로 적용하였습니다.\r\r\r악성코드가 다시 복구 시킬 수 있으므로\r\r\"처음화면\"에서 초기화를 "
    u"실행해주시면 더 좋습니다.\r\r";

vek::Text AppliedMessage(const std::vector<vek::Text>& notChanged) {
  if (notChanged.empty()) return vek::Text(kAppliedMessage);
  vek::Text message(kNotChangedHead);
  for (size_t i = 0; i < notChanged.size() && i < kNamesShown; ++i) {
    if (i) message += u'\r';
    message += u"· ";
    message += ShownName(notChanged[i]);
  }
  if (notChanged.size() > kNamesShown) {
    const std::string more = std::to_string(notChanged.size() - kNamesShown);
    message += u"\r외 ";
    message += vek::Text(more.begin(), more.end());
    message += u"개";
  }
  message += kNotChangedTail;
  return message;
}

}  // namespace pages
