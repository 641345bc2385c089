#pragma once
// Vek.HTTP: THTTP, the small HTTP client through which the program talks to its
// web service. It presets browser-like request headers, sends GET and POST,
// turns the response body into text (gzip, charset choice, UTF-8 sniffing) and
// turns every failure of a request into an error text: nothing here throws.
//
// The decisions live in this portable half; the transport under it is a seam.
// On Windows it is WinHTTP (http_win.cpp): one session per THTTP object, which
// keeps the cookies that responses set for the object's lifetime. Native tests
// put a scripted transport in its place.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vek/text.h"

namespace vek {

// The largest response body taken, as received and again after gzip decoding.
// A larger one ends the request like a transport failure instead of exhausting
// the address space of the 32-bit program.
constexpr size_t kMaxHttpBodyBytes = size_t(16) << 20;

// Request headers in the order they were first set. Names compare ignoring
// ASCII case.
class HttpHeaders {
 public:
  // The value of the header of that name; the empty text when it is not set.
  Text Value(TextView name) const;
  // Replaces the value of the header of that name, keeping its place and its
  // first spelling, or appends the header when it is not there yet.
  void Set(TextView name, TextView value);
  const std::vector<std::pair<Text, Text>>& Items() const { return FItems; }

 private:
  std::vector<std::pair<Text, Text>> FItems;
};

// The headers as one "Name: value\r\n" block for the wire. A header whose value
// is empty counts as not set and is left out. False, block untouched, when a
// name is empty or holds a separator, blank or control unit, or a value holds
// CR, LF or NUL: such a header would split into others on the wire.
bool BuildHeaderBlock(const HttpHeaders& headers, Text& block);

// The charset parameter of a Content-Type value, as written (quotes removed,
// case kept); the empty text when there is none. The parameter name matches
// ignoring ASCII case; the first charset parameter wins.
Text CharSetOf(TextView contentType);

// The text of a failed platform call: never empty, with the code in it.
// systemMessage is the platform's own wording, possibly empty.
Text TransportErrorText(uint32_t code, TextView systemMessage);

// The secure protocols a session asks for, as WinHTTP's
// WINHTTP_FLAG_SECURE_PROTOCOL_* flags.
constexpr uint32_t kSecureProtocolTls12 = 0x00000800;
constexpr uint32_t kSecureProtocolTls13 = 0x00002000;

// Offers setProtocols TLS 1.2 and 1.3 together, then, when that is refused
// (WinHTTP builds without TLS 1.3 refuse a set that names it), 1.2 alone.
// Returns the set that was taken; 0 when both were refused, which leaves the
// system's default (TLS 1.0 alone on Windows 7 SP1 and 8.0 without their
// TLS 1.2 update, which the service refuses). Never older versions: a server
// or a man in the middle that offers only TLS 1.0 or 1.1 gets no request.
uint32_t ChooseSecureProtocols(const std::function<bool(uint32_t protocols)>& setProtocols);

// Turns EUC-KR bytes (in practice code page 949, its superset) into text.
// Must not throw; bytes it cannot map become a replacement unit.
using EucKrDecoder = std::function<Text(std::string_view bytes)>;

struct HttpRequest {
  Text Method;  // u"GET" or u"POST"
  Text URL;
  Text Headers;  // BuildHeaderBlock's block, sent with no others
  std::string Body;
  int32_t ConnectionTimeOut = 60000;  // milliseconds
  int32_t ResponseTimeout = 60000;    // milliseconds
  bool HandleRedirects = true;
};

struct HttpReply {
  int32_t StatusCode = 0;
  Text ContentType;      // the header as received; empty when absent
  Text ContentEncoding;  // the header as received; empty when absent
  std::string Body;      // at most kMaxHttpBodyBytes
};

// The platform's HTTP client. Owns what it needs across requests (WinHTTP: the
// session and with it the cookies). Used by one thread at a time.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // Sends one request and waits for the whole response. Any status code is a
  // reply. False on every failure (no connection, a timeout, a body larger than
  // kMaxHttpBodyBytes, ...), with a non-empty error text and reply untouched.
  virtual bool Send(const HttpRequest& request, HttpReply& reply, Text& error) = 0;
};

struct DecodedBody {
  bool Ok = false;
  Text Value;    // the body as text, or the error text when not Ok
  Text CharSet;  // the charset the body was decoded as (when Ok)
};

// The body of reply as text. The charset is the one its Content-Type names,
// lower-cased, or defaultCharSet as it is. A Content-Encoding of exactly "gzip"
// is inflated first; any other encoding ("deflate" included) is taken as
// received. When the first 4000 bytes look like UTF-8 the charset becomes
// "utf-8". Exactly "utf-8" decodes as UTF-8, anything else through eucKr.
// Not Ok for a gzip body that is corrupt, truncated or larger than
// kMaxHttpBodyBytes once inflated. An empty body is the empty text.
DecodedBody DecodeResponseBody(const HttpReply& reply, TextView defaultCharSet, const EucKrDecoder& eucKr);

#ifdef _WIN32
// MultiByteToWideChar with code page 51949, or 949 where 51949 is missing (Wine,
// some Windows installations), so that Korean pages never come back empty.
Text DecodeEucKrWindows(std::string_view bytes);
// The WinHTTP transport (http_win.cpp). Null only when WinHTTP cannot open a
// session; THTTP then fails every request with the error text.
std::unique_ptr<HttpTransport> MakeWinHttpTransport(Text& error);
#endif

class THTTP {
 public:
#ifdef _WIN32
  // WinHTTP under the object, EUC-KR through the Windows code pages.
  THTTP();
#endif
  // client may be null: every request then fails with a fixed error text.
  THTTP(std::unique_ptr<HttpTransport> client, EucKrDecoder eucKr);
  ~THTTP();
  THTTP(const THTTP&) = delete;
  THTTP& operator=(const THTTP&) = delete;

  // Sends GET with the object's headers and returns the decoded body. A status
  // other than 200 is no failure: its body comes back and StatusCode holds it.
  // On failure (transport, timeout, body too large, broken gzip) StatusCode is
  // -1 and the result is the error text, which is never empty.
  Text Get(TextView URL);
  // As Get, sending POST with Source as UTF-8 (no byte-order mark). An empty
  // "Content-Type" becomes "application/x-www-form-urlencoded" first, and stays.
  Text Post(TextView URL, TextView Source);

  // Any request header by name; reading gives the empty text when it is not set.
  void SetCustomHeaders(TextView AName, TextView Value);
  Text CustomHeaders(TextView AName) const { return FHeaders.Value(AName); }

  Text Accept() const { return FHeaders.Value(u"Accept"); }
  void SetAccept(TextView value) { FHeaders.Set(u"Accept", value); }
  Text AcceptEncoding() const { return FHeaders.Value(u"Accept-Encoding"); }
  void SetAcceptEncoding(TextView value) { FHeaders.Set(u"Accept-Encoding", value); }
  Text AcceptLanguage() const { return FHeaders.Value(u"Accept-Language"); }
  void SetAcceptLanguage(TextView value) { FHeaders.Set(u"Accept-Language", value); }
  Text ContentType() const { return FHeaders.Value(u"Content-Type"); }
  void SetContentType(TextView value) { FHeaders.Set(u"Content-Type", value); }
  Text UserAgent() const { return FHeaders.Value(u"User-Agent"); }
  void SetUserAgent(TextView value) { FHeaders.Set(u"User-Agent", value); }

  // Milliseconds. The connection timeout also bounds the host name lookup.
  int32_t ConnectionTimeOut() const { return FConnectionTimeOut; }
  void SetConnectionTimeOut(int32_t ms) { FConnectionTimeOut = ms; }
  int32_t ResponseTimeout() const { return FResponseTimeout; }
  void SetResponseTimeout(int32_t ms) { FResponseTimeout = ms; }
  bool HandleRedirects() const { return FHandleRedirects; }
  void SetHandleRedirects(bool value) { FHandleRedirects = value; }

  // When true, the charset that decoded a response becomes ContentCharSet.
  bool AllowCharSet() const { return FAllowCharSet; }
  void SetAllowCharSet(bool value) { FAllowCharSet = value; }
  // The charset of a response that names none; "utf-8" at creation.
  Text ContentCharSet() const { return FContentCharSet; }
  void SetContentCharSet(TextView value) { FContentCharSet = Text(value); }
  // Of the last response; -1 after a failed request, 0 before the first.
  int32_t StatusCode() const { return FStatusCode; }

 private:
  void Preset();
  Text Execute(const char16_t* method, TextView URL, std::string body);

  std::unique_ptr<HttpTransport> FClient;
  Text FClientError;  // why FClient is null
  EucKrDecoder FEucKr;
  HttpHeaders FHeaders;
  std::shared_ptr<const HttpReply> FResponse;
  bool FAllowCharSet = false;
  Text FContentCharSet;
  int32_t FStatusCode = 0;
  int32_t FConnectionTimeOut = 60000;
  int32_t FResponseTimeout = 60000;
  bool FHandleRedirects = true;
};

}  // namespace vek
