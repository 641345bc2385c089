#include "app/exchange.h"

#include "app/outside_lists.h"
#include "vek/strings.h"

namespace app {
namespace {

constexpr char16_t kStatusMarker[] = u"\"status\":\"";
constexpr char16_t kUpdateMarker[] = u"\"update\":\"";
constexpr char16_t kNoCleanMarker[] = u"\"noclean\":[";
constexpr char16_t kBankCleanMarker[] = u"\"bankclean\":[";
constexpr char16_t kPkMarker[] = u"\"pk\":\"";
constexpr char16_t kQuote[] = u"\"";
constexpr char16_t kArrayEnd[] = u"]";

// JsonUnescape that turns a malformed \u escape into "no value" instead of an
// error: one bad value must not cost the rest of the configuration.
bool TryUnescape(vek::TextView text, vek::Text& out) {
  try {
    out = vek::JsonUnescape(text);
    return true;
  } catch (const vek::ConvertError&) {
    return false;
  }
}

vek::Text UnescapedOrEmpty(vek::TextView text) {
  vek::Text out;
  return TryUnescape(text, out) ? out : vek::Text();
}

// Each scan goes on from where the last one ended, so a reply of any number of
// items is read in one pass, and no further than its first kept items.
std::vector<vek::Text> ReadArray(vek::TextView reply, vek::TextView marker) {
  OutsideList items;
  const vek::Text array = vek::ExtractBetween(reply, marker, kArrayEnd, false);
  int32_t cursor = array.empty() ? 0 : 1;
  while (cursor != 0) {
    vek::Text value = vek::NextBetween(array, kQuote, kQuote, cursor);
    if (cursor == 0) break;
    vek::Text item;
    if (TryUnescape(value, item) && !items.Add(std::move(item))) break;
  }
  return items.Take();
}

}  // namespace

const vek::TextView kTips[3] = {
    u"중요 프로그램만 남기고 <FC:clRED>종료</FC>합니다.",
    u"초기화 실행시 종료만 되며, <FC:clRED>삭제</FC>하지 않습니다.",
    u"특정 서비스를 사용하기 위해 설치되는 프로그램은<BR><BR><FC:clRED>강제설치</FC>에서 편하게 삭제하세요.",
};

bool StatusIsOk(vek::TextView reply) {
  return UnescapedOrEmpty(vek::ExtractBetween(reply, kStatusMarker, kQuote, false)) == u"ok";
}

bool IsWebUrl(vek::TextView url) {
  for (vek::TextView scheme : {vek::TextView(u"http://"), vek::TextView(u"https://")}) {
    if (vek::StartsText(scheme, url)) {
      vek::TextView rest = url.substr(scheme.size());
      if (rest.empty() || rest.front() == u'/' || rest.front() <= u' ') return false;
      for (char16_t c : url)
        if (c < 0x21 || c == 0x7F) return false;  // no blanks or controls a shell could split on
      return true;
    }
  }
  return false;
}

ServerConfig ReadServerConfig(vek::TextView reply) {
  ServerConfig config;
  vek::Text update = UnescapedOrEmpty(vek::ExtractBetween(reply, kUpdateMarker, kQuote, false));
  if (IsWebUrl(update)) config.Update = std::move(update);
  config.NoClean = ReadArray(reply, kNoCleanMarker);
  config.BankClean = ReadArray(reply, kBankCleanMarker);
  return config;
}

vek::Text ReadReportKey(vek::TextView reply) {
  return UnescapedOrEmpty(vek::ExtractBetween(reply, kPkMarker, kQuote, false));
}

vek::Text EncodeReportKey(vek::TextView key) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  vek::Text out;
  for (unsigned char b : vek::ToUtf8(key)) {
    bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
                      b == '.' || b == '_' || b == '~';
    if (unreserved) {
      out.push_back(char16_t(b));
    } else {
      out.push_back(u'%');
      out.push_back(char16_t(kHex[b >> 4]));
      out.push_back(char16_t(kHex[b & 15]));
    }
  }
  return out;
}

vek::Text ReportBody(const std::vector<vek::Text>& records) {
  size_t size = 2 + (records.empty() ? 0 : records.size() - 1);
  for (const auto& r : records) size += r.size();
  vek::Text body;
  body.reserve(size);
  body += u'[';
  for (size_t i = 0; i < records.size(); ++i) {
    if (i) body += u',';
    body += records[i];
  }
  body += u']';
  return body;
}

}  // namespace app
