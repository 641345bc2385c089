#include "core/report.h"

#include <string>

#include "vek/strings.h"

namespace core {
namespace {

vek::Text Decimal(int64_t v) {
  std::string s = std::to_string(v);
  return vek::Text(s.begin(), s.end());
}

}  // namespace

vek::Text CleanRecord(vek::TextView foldedFile, int32_t state) {
  return vek::Text(u"{\"cate\":\"clean\",\"file\":\"") + vek::JsonEscape(foldedFile) + u"\",\"state\":\"" +
         Decimal(state) + u"\"}";
}

vek::Text MemoryRecord(int64_t oldAvail, int64_t newAvail, int64_t total) {
  return vek::Text(u"{\"cate\":\"memory\",\"old\":\"") + Decimal(oldAvail) + u"\",\"new\":\"" + Decimal(newAvail) +
         u"\",\"tot\":\"" + Decimal(total) + u"\"}";
}

vek::Text BrowserRecord(vek::TextView clsid, vek::TextView item) {
  return vek::Text(u"{\"cate\":\"browser\",\"clsid\":\"") + vek::JsonEscape(clsid) + u"\",\"item\":\"" +
         vek::JsonEscape(item) + u"\"}";
}

vek::Text StartRecord(vek::TextView item, vek::TextView state) {
  return vek::Text(u"{\"cate\":\"start\",\"item\":\"") + vek::JsonEscape(item) + u"\",\"state\":\"" +
         vek::JsonEscape(state) + u"\"}";
}

vek::Text InstallRecord(vek::TextView displayName, vek::TextView publisher) {
  return vek::Text(u"{\"cate\":\"install\",\"displayname\":\"") + vek::JsonEscape(displayName) +
         u"\",\"publisher\":\"" + vek::JsonEscape(publisher) + u"\"}";
}

vek::Text RefusedRecord(vek::TextView foldedFile, vek::TextView why) {
  return vek::Text(u"{\"cate\":\"refused\",\"file\":\"") + vek::JsonEscape(foldedFile) + u"\",\"why\":\"" +
         vek::JsonEscape(why) + u"\"}";
}

vek::Text BackRecord(vek::TextView foldedFile, uint32_t processId, vek::TextView program, vek::TextView publisher) {
  return vek::Text(u"{\"cate\":\"back\",\"file\":\"") + vek::JsonEscape(foldedFile) + u"\",\"pid\":\"" +
         Decimal(processId) + u"\",\"program\":\"" + vek::JsonEscape(program) + u"\",\"publisher\":\"" +
         vek::JsonEscape(publisher) + u"\"}";
}

}  // namespace core
