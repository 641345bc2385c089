#include "vek/http.h"

#include <zlib.h>

#include <algorithm>

#include "vek/strings.h"

namespace vek {

namespace {

// How far the UTF-8 sniffing looks into a body.
constexpr int32_t kSniffBytes = 4000;
// The inflated body grows by at most this much per inflate call.
constexpr size_t kInflateChunk = size_t(1) << 20;

constexpr char16_t kBrokenGzipText[] = u"HTTP 응답의 gzip 본문을 풀 수 없습니다";
constexpr char16_t kTooLargeGzipText[] = u"HTTP 응답 본문이 풀고 나면 16 MiB보다 큽니다";
constexpr char16_t kBadHeaderText[] = u"HTTP 요청 헤더가 올바르지 않습니다 (이름이나 값에 쓸 수 없는 문자)";
constexpr char16_t kNoClientText[] = u"HTTP 클라이언트를 만들 수 없습니다";
constexpr char16_t kInternalText[] = u"HTTP 요청 중 내부 오류";

bool IsTokenUnit(char16_t c) {
  if (c <= 0x20 || c >= 0x7F) return false;
  return TextView(u"()<>@,;:\\\"/[]?={}").find(c) == TextView::npos;
}

// Inflates a gzip stream (zlib with the gzip wrapper: window bits 31) into out.
// Bytes after the end of the first member are ignored, as a browser does.
bool Gunzip(std::string_view in, std::string& out, Text& error) {
  z_stream z{};
  if (inflateInit2(&z, 31) != Z_OK) {
    error = kBrokenGzipText;
    return false;
  }
  struct Ender {
    z_stream* z;
    ~Ender() { inflateEnd(z); }
  } ender{&z};

  // Bodies are capped at 16 MiB, so the length fits zlib's 32-bit counter.
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  for (;;) {
    const size_t had = out.size();
    if (had > kMaxHttpBodyBytes) {
      error = kTooLargeGzipText;
      return false;
    }
    const size_t room = std::min(kInflateChunk, kMaxHttpBodyBytes + 1 - had);
    out.resize(had + room);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + had);
    z.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&z, Z_NO_FLUSH);
    out.resize(had + room - z.avail_out);
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK) {
      // Z_BUF_ERROR with no input left: the stream ends before its trailer.
      error = kBrokenGzipText;
      if (rc == Z_BUF_ERROR && z.avail_in == 0) error += u": 중간에 끊겼습니다";
      else if (z.msg) error += u": " + FromUtf8(z.msg);
      return false;
    }
  }
  if (out.size() > kMaxHttpBodyBytes) {
    error = kTooLargeGzipText;
    return false;
  }
  return true;
}

}  // namespace

Text HttpHeaders::Value(TextView name) const {
  for (const auto& [n, v] : FItems)
    if (SameText(n, name)) return v;
  return {};
}

void HttpHeaders::Set(TextView name, TextView value) {
  for (auto& [n, v] : FItems)
    if (SameText(n, name)) {
      v = Text(value);
      return;
    }
  FItems.emplace_back(Text(name), Text(value));
}

bool BuildHeaderBlock(const HttpHeaders& headers, Text& block) {
  Text out;
  for (const auto& [name, value] : headers.Items()) {
    if (name.empty() || !std::all_of(name.begin(), name.end(), IsTokenUnit)) return false;
    if (value.find_first_of(TextView(u"\r\n\0", 3)) != Text::npos) return false;
    if (value.empty()) continue;
    out += name;
    out += u": ";
    out += value;
    out += u"\r\n";
  }
  block = std::move(out);
  return true;
}

Text CharSetOf(TextView contentType) {
  const size_t n = contentType.size();
  size_t i = contentType.find(u';');
  while (i < n) {
    ++i;  // past ';'
    size_t p = i;
    while (p < n && contentType[p] != u'=' && contentType[p] != u';') ++p;
    const Text name = Trim(contentType.substr(i, p - i));
    Text value;
    if (p < n && contentType[p] == u'=') {
      ++p;
      while (p < n && (contentType[p] == u' ' || contentType[p] == u'\t')) ++p;
      if (p < n && contentType[p] == u'"') {
        for (++p; p < n && contentType[p] != u'"'; ++p) {
          if (contentType[p] == u'\\' && p + 1 < n) ++p;
          value += contentType[p];
        }
        while (p < n && contentType[p] != u';') ++p;
      } else {
        const size_t start = p;
        while (p < n && contentType[p] != u';') ++p;
        value = Trim(contentType.substr(start, p - start));
      }
    }
    if (SameText(name, u"charset")) return value;
    i = p;
  }
  return {};
}

Text TransportErrorText(uint32_t code, TextView systemMessage) {
  Text text = u"HTTP 요청 실패 (오류 " + FromUtf8(std::to_string(code)) + u")";
  const Text message = Trim(systemMessage);
  if (!message.empty()) text += u": " + message;
  return text;
}

uint32_t ChooseSecureProtocols(const std::function<bool(uint32_t protocols)>& setProtocols) {
  for (uint32_t protocols : {kSecureProtocolTls12 | kSecureProtocolTls13, kSecureProtocolTls12})
    if (setProtocols(protocols)) return protocols;
  return 0;
}

DecodedBody DecodeResponseBody(const HttpReply& reply, TextView defaultCharSet, const EucKrDecoder& eucKr) {
  DecodedBody result;
  const Text named = CharSetOf(reply.ContentType);
  Text charset = named.empty() ? Text(defaultCharSet) : LowerCase(named);

  std::string inflated;
  std::string_view body = reply.Body;
  if (reply.ContentEncoding == u"gzip" && !body.empty()) {
    if (!Gunzip(body, inflated, result.Value)) return result;
    body = inflated;
  }

  // LooksLikeUTF8 looks at no more than the first kSniffBytes, so those are all
  // it is given.
  ByteStream head{std::string(body.substr(0, size_t(kSniffBytes))), 0};
  if (LooksLikeUTF8(head, kSniffBytes)) charset = u"utf-8";

  result.Value = charset == u"utf-8" ? FromUtf8(body) : eucKr(body);
  result.CharSet = std::move(charset);
  result.Ok = true;
  return result;
}

THTTP::THTTP(std::unique_ptr<HttpTransport> client, EucKrDecoder eucKr)
    : FClient(std::move(client)), FEucKr(std::move(eucKr)) {
  Preset();
}

THTTP::~THTTP() = default;

void THTTP::Preset() {
  SetAccept(u"text/html,application/xhtml+xml, */*");
  SetAcceptEncoding(u"gzip, deflate");
  SetAcceptLanguage(u"ko-KR");
  FHandleRedirects = true;
  SetUserAgent(
      u"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      u"Chrome/96.0.4664.45 Safari/537.36");
  SetCustomHeaders(u"DNT", u"1");
  SetCustomHeaders(u"Cache-Control", u"no-cache");
  FAllowCharSet = false;
  FContentCharSet = u"utf-8";
  FStatusCode = 0;
}

void THTTP::SetCustomHeaders(TextView AName, TextView Value) { FHeaders.Set(AName, Value); }

Text THTTP::Get(TextView URL) { return Execute(u"GET", URL, {}); }

Text THTTP::Post(TextView URL, TextView Source) {
  try {
    if (ContentType().empty()) SetContentType(u"application/x-www-form-urlencoded");
    return Execute(u"POST", URL, ToUtf8(Source));
  } catch (...) {
    FStatusCode = -1;
    return kInternalText;
  }
}

Text THTTP::Execute(const char16_t* method, TextView URL, std::string body) {
  try {
    FResponse.reset();
    if (!FClient) {
      FStatusCode = -1;
      return FClientError.empty() ? Text(kNoClientText) : FClientError;
    }
    HttpRequest request;
    request.Method = method;
    request.URL = Text(URL);
    if (!BuildHeaderBlock(FHeaders, request.Headers)) {
      FStatusCode = -1;
      return kBadHeaderText;
    }
    request.Body = std::move(body);
    request.ConnectionTimeOut = FConnectionTimeOut;
    request.ResponseTimeout = FResponseTimeout;
    request.HandleRedirects = FHandleRedirects;

    auto reply = std::make_shared<HttpReply>();
    Text error;
    if (!FClient->Send(request, *reply, error)) {
      FStatusCode = -1;
      return error.empty() ? TransportErrorText(0, {}) : error;
    }
    request.Body.clear();
    request.Body.shrink_to_fit();
    FResponse = reply;
    FStatusCode = reply->StatusCode;

    DecodedBody decoded = DecodeResponseBody(*reply, FContentCharSet, FEucKr);
    if (!decoded.Ok) {
      FStatusCode = -1;
      return decoded.Value;
    }
    if (FAllowCharSet) FContentCharSet = std::move(decoded.CharSet);
    return std::move(decoded.Value);
  } catch (...) {
    // A failed allocation (bodies near the cap in a crowded 32-bit address
    // space) or a missing EUC-KR decoder.
    FStatusCode = -1;
    return kInternalText;
  }
}

}  // namespace vek
