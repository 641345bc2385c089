// The WinHTTP transport under THTTP, and EUC-KR through the Windows code pages.
#include "vek/http.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>

#include "vek/handles_win.h"
#include "vek/win32.h"

#include <winhttp.h>

namespace vek {

namespace {

constexpr int32_t kSendTimeout = 60000;
constexpr DWORD kReadChunk = 256 * 1024;
constexpr char16_t kTooLargeText[] = u"HTTP 응답 본문이 16 MiB보다 큽니다";

// Every certificate problem WinHTTP lets a caller ignore. Revocation is not
// checked unless asked for (WINHTTP_ENABLE_SSL_REVOCATION), so it needs no flag.
constexpr DWORD kIgnoreCertificateErrors = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                                           SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                           SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;

// WinHTTP's error codes (12001..12192) have their texts in winhttp.dll's
// message table, not the system's; other codes come from the system.
Text ErrorText(DWORD code) {
  wchar_t buffer[512];
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE module = nullptr;
  if (code > WINHTTP_ERROR_BASE && code < WINHTTP_ERROR_BASE + 1000) {
    module = GetModuleHandleW(L"winhttp.dll");
    if (module) flags |= FORMAT_MESSAGE_FROM_HMODULE;
  }
  DWORD n = FormatMessageW(flags, module, code, 0, buffer, DWORD(std::size(buffer)), nullptr);
  return TransportErrorText(code, n ? U(buffer, n) : Text());
}

Text LastErrorText() { return ErrorText(GetLastError()); }

// A header of the response as text; empty when absent or unreadable.
Text QueryText(HINTERNET request, DWORD info) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return {};
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = DWORD(value.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                           WINHTTP_NO_HEADER_INDEX))
    return {};
  return U(value.c_str(), bytes / sizeof(wchar_t));
}

// WinHttpSetTimeouts takes -1 (or 0) for no limit and refuses anything lower.
int Timeout(int32_t ms) { return std::max(ms, -1); }

// A Content-Length value, saturating; nullopt for one that is not a number
// (WinHTTP then reads to the end of the body as it would anyway).
std::optional<uint64_t> ParseLength(TextView text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value > (UINT64_MAX - 9) / 10 ? UINT64_MAX : value * 10 + (c - u'0');
  }
  return value;
}

class WinHttpTransport final : public HttpTransport {
 public:
  explicit WinHttpTransport(unique_hinternet session) : FSession(std::move(session)) {}

  bool Send(const HttpRequest& request, HttpReply& reply, Text& error) override {
    std::wstring url(request.URL.begin(), request.URL.end());
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = DWORD(-1);
    parts.dwUrlPathLength = DWORD(-1);
    parts.dwExtraInfoLength = DWORD(-1);
    if (!WinHttpCrackUrl(url.c_str(), DWORD(url.size()), 0, &parts)) {
      error = LastErrorText();
      return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
      error = ErrorText(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
      return false;
    }
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    unique_hinternet connection(WinHttpConnect(FSession.get(), host.c_str(), parts.nPort, 0));
    if (!connection) {
      error = LastErrorText();
      return false;
    }
    const std::wstring method(request.Method.begin(), request.Method.end());
    unique_hinternet req(WinHttpOpenRequest(connection.get(), method.c_str(), path.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                            secure ? WINHTTP_FLAG_SECURE : 0));
    if (!req) {
      error = LastErrorText();
      return false;
    }
    if (!Configure(req.get(), request)) {
      error = LastErrorText();
      return false;
    }
    if (!SendAndReceive(req.get(), request)) {
      error = LastErrorText();
      return false;
    }

    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(req.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      error = LastErrorText();
      return false;
    }
    // A declared length past the cap fails before anything is read.
    const std::optional<uint64_t> length = ParseLength(Trim(QueryText(req.get(), WINHTTP_QUERY_CONTENT_LENGTH)));
    if (length && *length > kMaxHttpBodyBytes) {
      error = kTooLargeText;
      return false;
    }

    std::string body;
    for (;;) {
      if (body.size() > kMaxHttpBodyBytes) {
        error = kTooLargeText;
        return false;
      }
      const size_t had = body.size();
      const DWORD want = DWORD(std::min<size_t>(kReadChunk, kMaxHttpBodyBytes + 1 - had));
      body.resize(had + want);
      DWORD got = 0;
      if (!WinHttpReadData(req.get(), body.data() + had, want, &got)) {
        error = LastErrorText();
        return false;
      }
      body.resize(had + got);
      if (got == 0) break;
    }

    reply.StatusCode = int32_t(status);
    reply.ContentType = QueryText(req.get(), WINHTTP_QUERY_CONTENT_TYPE);
    reply.ContentEncoding = QueryText(req.get(), WINHTTP_QUERY_CONTENT_ENCODING);
    reply.Body = std::move(body);
    return true;
  }

 private:
  // Timeouts, redirects, certificates and the request headers. WinHTTP is left
  // without WINHTTP_OPTION_DECOMPRESSION: it then passes bodies on exactly as
  // received, and THTTP alone decides what to inflate.
  static bool Configure(HINTERNET req, const HttpRequest& request) {
    // The name lookup is part of connecting as far as the caller can tell.
    if (!WinHttpSetTimeouts(req, Timeout(request.ConnectionTimeOut), Timeout(request.ConnectionTimeOut), kSendTimeout,
                            Timeout(request.ResponseTimeout)))
      return false;
    // The receive timeout bounds each read; waiting for the response headers
    // has a limit of its own (90 s by default), which follows ResponseTimeout too.
    DWORD responseTimeout = DWORD(Timeout(request.ResponseTimeout));
    WinHttpSetOption(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof responseTimeout);
    if (request.HandleRedirects) {
      // The default policy refuses https to http; a browser follows it. Older
      // WinHTTP builds lack the option and follow by their default policy.
      DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS;
      WinHttpSetOption(req, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    } else {
      DWORD feature = WINHTTP_DISABLE_REDIRECTS;
      if (!WinHttpSetOption(req, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature)) return false;
    }
    // Set on every request, since a redirect can lead from http to https.
    DWORD flags = kIgnoreCertificateErrors;
    WinHttpSetOption(req, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);

    // One header at a time: with ADD | REPLACE each replaces a header WinHTTP
    // put there itself (none is, as the session has no agent) or is added.
    const std::wstring block(request.Headers.begin(), request.Headers.end());
    size_t start = 0;
    while (start < block.size()) {
      size_t end = block.find(L"\r\n", start);
      if (end == std::wstring::npos) end = block.size();
      if (end > start &&
          !WinHttpAddRequestHeaders(req, block.c_str() + start, DWORD(end - start),
                                    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        return false;
      start = end + 2;
    }
    return true;
  }

  // Sends and waits for the response headers. A server that the certificate
  // flags did not cover (WinHTTP reports ERROR_WINHTTP_SECURE_FAILURE, with the
  // details in a status callback nobody listens to), or one that asks for a
  // client certificate, gets the same request once more with the flags set
  // again and without a client certificate.
  static bool SendAndReceive(HINTERNET req, const HttpRequest& request) {
    if (request.Body.size() > MAXDWORD) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    const DWORD length = DWORD(request.Body.size());
    void* data = length ? const_cast<char*>(request.Body.data()) : WINHTTP_NO_REQUEST_DATA;
    for (int attempt = 0;; ++attempt) {
      if (WinHttpSendRequest(req, WINHTTP_NO_ADDITIONAL_HEADERS, 0, data, length, length, 0) &&
          WinHttpReceiveResponse(req, nullptr))
        return true;
      const DWORD code = GetLastError();
      if (attempt >= 2) return false;
      if (code == ERROR_WINHTTP_SECURE_FAILURE) {
        DWORD flags = kIgnoreCertificateErrors;
        if (!WinHttpSetOption(req, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
          SetLastError(code);
          return false;
        }
      } else if (code == ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED) {
        if (!WinHttpSetOption(req, WINHTTP_OPTION_CLIENT_CERT_CONTEXT, WINHTTP_NO_CLIENT_CERT_CONTEXT, 0)) {
          SetLastError(code);
          return false;
        }
      } else {
        return false;
      }
    }
  }

  unique_hinternet FSession;
};

}  // namespace

Text DecodeEucKrWindows(std::string_view bytes) {
  // Code page 51949 is EUC-KR proper; where it is missing, 949 (its superset)
  // reads every EUC-KR text the same.
  static const UINT codePage = IsValidCodePage(51949) ? 51949 : 949;
  if (bytes.empty() || bytes.size() > size_t(INT_MAX)) return {};
  const int n = MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(size_t(n), L'\0');
  const int written = MultiByteToWideChar(codePage, 0, bytes.data(), int(bytes.size()), out.data(), n);
  return written > 0 ? U(out.c_str(), size_t(written)) : Text();
}

std::unique_ptr<HttpTransport> MakeWinHttpTransport(Text& error) {
  // No agent: the "User-Agent" request header alone names it, so that changing
  // it between requests takes effect.
  unique_hinternet session(
      WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {
    error = LastErrorText();
    return nullptr;
  }
  // Windows 7 SP1 and 8.0 offer TLS 1.0 alone unless asked for more.
  static_assert(kSecureProtocolTls12 == WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 &&
                kSecureProtocolTls13 == WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3);
  ChooseSecureProtocols([&](uint32_t protocols) {
    DWORD value = protocols;
    return WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &value, sizeof value) != FALSE;
  });
  return std::make_unique<WinHttpTransport>(std::move(session));
}

THTTP::THTTP() : THTTP(nullptr, DecodeEucKrWindows) { FClient = MakeWinHttpTransport(FClientError); }

}  // namespace vek
