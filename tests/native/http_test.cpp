#include "vek/http.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <zlib.h>

#include <cerrno>
#include <deque>
#include <string>
#include <vector>

namespace vek {
namespace {

// "한글 테스트" in UTF-8 and in EUC-KR.
const std::string kKoreanUtf8 = "\xED\x95\x9C\xEA\xB8\x80 \xED\x85\x8C\xEC\x8A\xA4\xED\x8A\xB8";
const std::string kKoreanEucKr = "\xC7\xD1\xB1\xDB \xC5\xD7\xBD\xBA\xC6\xAE";
const Text kKorean = u"한글 테스트";

// EUC-KR through glibc's CP949 (the superset Windows falls back to). Bytes it
// cannot map become U+FFFD, as MultiByteToWideChar's default character does.
Text DecodeCp949(std::string_view bytes) {
  iconv_t cd = iconv_open("UTF-16LE", "CP949");
  if (cd == iconv_t(-1)) return u"<no CP949 in iconv>";
  Text out;
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char16_t buffer[256];
    char* o = reinterpret_cast<char*>(buffer);
    size_t oLeft = sizeof buffer;
    size_t rc = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, (sizeof buffer - oLeft) / 2);
    if (rc == size_t(-1) && errno != E2BIG) {
      out.push_back(0xFFFD);
      ++in;
      --inLeft;
    }
  }
  iconv_close(cd);
  return out;
}

std::string Gzip(std::string_view data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, uLong(data.size())) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// zlib's own wrapper, which is what many servers send as "deflate".
std::string Deflate(std::string_view data) {
  uLongf size = compressBound(uLong(data.size()));
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
           uLong(data.size()));
  out.resize(size);
  return out;
}

HttpReply Reply(Text contentType, Text encoding, std::string body, int32_t status = 200) {
  HttpReply r;
  r.StatusCode = status;
  r.ContentType = std::move(contentType);
  r.ContentEncoding = std::move(encoding);
  r.Body = std::move(body);
  return r;
}

TEST(HttpHeaders, ReplacesByNameIgnoringAsciiCaseAndKeepsPlaceAndFirstSpelling) {
  HttpHeaders h;
  h.Set(u"Accept", u"a");
  h.Set(u"DNT", u"1");
  h.Set(u"accept", u"b");
  h.Set(u"X-New", u"c");
  const std::vector<std::pair<Text, Text>> expected = {{u"Accept", u"b"}, {u"DNT", u"1"}, {u"X-New", u"c"}};
  EXPECT_EQ(h.Items(), expected);
  EXPECT_EQ(h.Value(u"ACCEPT"), u"b");
  EXPECT_EQ(h.Value(u"dnt"), u"1");
  EXPECT_EQ(h.Value(u"Missing"), u"");
}

TEST(BuildHeaderBlock, LeavesOutEmptyValuesAndRefusesHeadersThatWouldSplit) {
  struct Case {
    std::vector<std::pair<Text, Text>> headers;
    bool ok;
    Text block;
  };
  const Case cases[] = {
      {{}, true, u""},
      {{{u"A", u"1"}, {u"B-c", u"x y"}}, true, u"A: 1\r\nB-c: x y\r\n"},
      {{{u"A", u""}, {u"B", u"2"}}, true, u"B: 2\r\n"},
      {{{u"A", u"1\r\nHost: evil"}}, false, u"unchanged"},
      {{{u"A", u"1\n"}}, false, u"unchanged"},
      {{{u"A", Text(u"1\0" u"2", 3)}}, false, u"unchanged"},
      {{{u"", u"1"}}, false, u"unchanged"},
      {{{u"A B", u"1"}}, false, u"unchanged"},
      {{{u"A:", u"1"}}, false, u"unchanged"},
      {{{u"헤더", u"1"}}, false, u"unchanged"},
      // Non-ASCII values pass; what the wire makes of them is the transport's.
      {{{u"X", u"값"}}, true, u"X: 값\r\n"},
  };
  for (const auto& c : cases) {
    HttpHeaders h;
    for (const auto& [n, v] : c.headers) h.Set(n, v);
    Text block = u"unchanged";
    EXPECT_EQ(BuildHeaderBlock(h, block), c.ok) << ToUtf8(c.block);
    EXPECT_EQ(block, c.block);
  }
}

TEST(CharSetOf, ReadsTheCharsetParameter) {
  struct Case {
    const char16_t* contentType;
    const char16_t* charset;
  };
  const Case cases[] = {
      {u"text/html; charset=UTF-8", u"UTF-8"},
      {u"text/html;charset=euc-kr", u"euc-kr"},
      {u"text/html; Charset = utf8 ", u"utf8"},
      {u"text/html; CHARSET=\"ISO-8859-1\"", u"ISO-8859-1"},
      {u"text/html; charset=\"a;b\"; x=y", u"a;b"},
      {u"text/html; boundary=x; charset=ks_c_5601-1987", u"ks_c_5601-1987"},
      {u"text/html; charset=first; charset=second", u"first"},
      {u"text/html; xcharset=no", u""},
      {u"text/html; charset=", u""},
      {u"text/html", u""},
      {u"charset=utf-8", u""},  // a media type, not a parameter
      {u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(CharSetOf(c.contentType), c.charset) << ToUtf8(c.contentType);
}

TEST(TransportErrorText, IsNeverEmptyAndCarriesCodeAndTrimmedMessage) {
  EXPECT_EQ(TransportErrorText(12029, u"연결할 수 없습니다\r\n"), u"HTTP 요청 실패 (오류 12029): 연결할 수 없습니다");
  EXPECT_EQ(TransportErrorText(0, u" \r\n"), u"HTTP 요청 실패 (오류 0)");
}

// Whatever the platform refuses, no set ever names TLS 1.0 or 1.1 (0x80,
// 0x200), and nothing is asked once a set was taken.
TEST(ChooseSecureProtocols, TwelveAndThirteenThenTwelveAloneThenTheDefault) {
  struct Case {
    std::vector<bool> answers;  // what the platform says to each set offered
    std::vector<uint32_t> offered;
    uint32_t taken;
  };
  constexpr uint32_t both = kSecureProtocolTls12 | kSecureProtocolTls13;
  const Case cases[] = {
      {{true}, {both}, both},
      {{false, true}, {both, kSecureProtocolTls12}, kSecureProtocolTls12},
      {{false, false}, {both, kSecureProtocolTls12}, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> offered;
    const uint32_t taken = ChooseSecureProtocols([&](uint32_t protocols) {
      offered.push_back(protocols);
      return offered.size() <= c.answers.size() && c.answers[offered.size() - 1];
    });
    EXPECT_EQ(offered, c.offered);
    EXPECT_EQ(taken, c.taken);
    for (uint32_t p : offered) EXPECT_EQ(p & 0x280u, 0u) << std::hex << p;
  }
}

TEST(DecodeResponseBody, ChoosesTheCharset) {
  struct Case {
    const char* what;
    const char16_t* contentType;
    const char16_t* defaultCharSet;
    std::string body;
    Text text;
    const char16_t* charset;
  };
  const std::string ascii4000(4000, 'a');
  const std::string ascii3990(3990, 'a');
  const Case cases[] = {
      {"charset in capitals is lower-cased", u"text/html; charset=UTF-8", u"utf-8", kKoreanUtf8, kKorean, u"utf-8"},
      {"utf8 without hyphen is not utf-8", u"text/html; charset=utf8", u"utf-8", kKoreanEucKr, kKorean, u"utf8"},
      {"euc-kr label, EUC-KR bytes", u"text/html; charset=euc-kr", u"utf-8", kKoreanEucKr, kKorean, u"euc-kr"},
      {"iso-8859-1 goes the EUC-KR way", u"text/html; charset=iso-8859-1", u"utf-8", kKoreanEucKr, kKorean,
       u"iso-8859-1"},
      {"UTF-8 bytes override a euc-kr label", u"text/html; charset=euc-kr", u"utf-8", kKoreanUtf8, kKorean,
       u"utf-8"},
      {"no charset, default utf-8", u"text/html", u"utf-8", kKoreanUtf8, kKorean, u"utf-8"},
      {"no Content-Type at all", u"", u"utf-8", kKoreanUtf8, kKorean, u"utf-8"},
      {"the default is taken as it is, not lower-cased", u"text/html", u"UTF-8", kKoreanEucKr, kKorean, u"UTF-8"},
      {"default utf-8 reads EUC-KR bytes as broken UTF-8", u"text/html", u"utf-8", "\xC7\xD1", u"\uFFFD\uFFFD",
       u"utf-8"},
      {"pure ASCII keeps the label", u"text/plain; charset=euc-kr", u"utf-8", "ok", u"ok", u"euc-kr"},
      {"UTF-8 within the first 4000 bytes", u"text/html; charset=euc-kr", u"utf-8", ascii3990 + kKoreanUtf8,
       FromUtf8(ascii3990) + kKorean, u"utf-8"},
      {"UTF-8 only past the first 4000 bytes", u"text/html; charset=euc-kr", u"utf-8", ascii4000 + kKoreanUtf8,
       DecodeCp949(ascii4000 + kKoreanUtf8), u"euc-kr"},
      {"empty body", u"text/html; charset=euc-kr", u"utf-8", "", u"", u"euc-kr"},
  };
  for (const auto& c : cases) {
    DecodedBody d = DecodeResponseBody(Reply(c.contentType, u"", c.body), c.defaultCharSet, DecodeCp949);
    EXPECT_TRUE(d.Ok) << c.what;
    EXPECT_EQ(d.Value, c.text) << c.what;
    EXPECT_EQ(d.CharSet, c.charset) << c.what;
  }
}

TEST(DecodeResponseBody, InflatesOnlyExactlyGzip) {
  const std::string html = "<html>" + kKoreanUtf8 + "</html>";
  const Text text = u"<html>" + kKorean + u"</html>";
  struct Case {
    const char* what;
    const char16_t* encoding;
    std::string body;
    Text text;
  };
  const Case cases[] = {
      {"gzip", u"gzip", Gzip(html), text},
      {"gzip of EUC-KR", u"gzip", Gzip(kKoreanEucKr), kKorean},
      {"a second member and trailing bytes are ignored", u"gzip", Gzip(html) + Gzip("more") + "junk", text},
      {"deflate is taken as received", u"deflate", "plain", u"plain"},
      {"GZIP in capitals is taken as received", u"GZIP", "plain", u"plain"},
      {"gzip with blanks is not gzip", u" gzip", "plain", u"plain"},
      {"identity", u"identity", html, text},
      {"empty gzip body", u"gzip", "", u""},
  };
  for (const auto& c : cases) {
    // euc-kr label, so that undecoded binary goes the EUC-KR way predictably.
    DecodedBody d = DecodeResponseBody(Reply(u"text/html; charset=euc-kr", c.encoding, c.body), u"utf-8",
                                       DecodeCp949);
    EXPECT_TRUE(d.Ok) << c.what;
    EXPECT_EQ(d.Value, c.text) << c.what;
  }
  // What servers send as "deflate" (zlib-wrapped) comes out as if unencoded.
  const HttpReply deflated = Reply(u"text/html; charset=euc-kr", u"deflate", Deflate(html));
  const HttpReply plain = Reply(u"text/html; charset=euc-kr", u"", Deflate(html));
  EXPECT_EQ(DecodeResponseBody(deflated, u"utf-8", DecodeCp949).Value,
            DecodeResponseBody(plain, u"utf-8", DecodeCp949).Value);
}

TEST(DecodeResponseBody, FailsOnGzipThatCannotBeDecoded) {
  const std::string good = Gzip(std::string(100000, 'x') + "end");
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x55;
  std::string badCrc = good;
  badCrc[good.size() - 6] ^= 1;
  struct Case {
    const char* what;
    std::string body;
  };
  const Case cases[] = {
      {"not gzip at all", "<html>hello</html>"},
      {"zlib wrapper instead of gzip", Deflate("hello")},
      {"truncated in the middle", good.substr(0, good.size() / 2)},
      {"trailer missing", good.substr(0, good.size() - 8)},
      {"damaged data", flipped},
      {"wrong checksum", badCrc},
      {"header only", good.substr(0, 10)},
  };
  for (const auto& c : cases) {
    DecodedBody d = DecodeResponseBody(Reply(u"text/html", u"gzip", c.body), u"utf-8", DecodeCp949);
    EXPECT_FALSE(d.Ok) << c.what;
    EXPECT_FALSE(d.Value.empty()) << c.what;
  }
}

TEST(DecodeResponseBody, CapsTheInflatedBodyAt16MiB) {
  const std::string atCap(kMaxHttpBodyBytes, 'a');
  DecodedBody d = DecodeResponseBody(Reply(u"", u"gzip", Gzip(atCap)), u"utf-8", DecodeCp949);
  EXPECT_TRUE(d.Ok);
  EXPECT_EQ(d.Value.size(), kMaxHttpBodyBytes);

  d = DecodeResponseBody(Reply(u"", u"gzip", Gzip(atCap + "a")), u"utf-8", DecodeCp949);
  EXPECT_FALSE(d.Ok);
  EXPECT_FALSE(d.Value.empty());
}

// A transport that answers from a script and keeps every request it was given.
struct Script {
  struct Answer {
    bool ok;
    HttpReply reply;
    Text error;
  };
  std::deque<Answer> answers;
  std::vector<HttpRequest> requests;
};

class ScriptedTransport : public HttpTransport {
 public:
  explicit ScriptedTransport(Script& script) : script_(script) {}
  bool Send(const HttpRequest& request, HttpReply& reply, Text& error) override {
    script_.requests.push_back(request);
    if (script_.answers.empty()) {
      error = u"no answer scripted";
      return false;
    }
    Script::Answer a = std::move(script_.answers.front());
    script_.answers.pop_front();
    if (a.ok) reply = std::move(a.reply);
    else error = a.error;
    return a.ok;
  }

 private:
  Script& script_;
};

class THTTPTest : public testing::Test {
 protected:
  void Answer(HttpReply reply) { script_.answers.push_back({true, std::move(reply), {}}); }
  void Fail(Text error) { script_.answers.push_back({false, {}, std::move(error)}); }
  const std::vector<HttpRequest>& Requests() const { return script_.requests; }

  Script script_;
  THTTP http_{std::make_unique<ScriptedTransport>(script_), DecodeCp949};
};

TEST_F(THTTPTest, StartsWithBrowserLikeHeadersInOrder) {
  EXPECT_EQ(http_.StatusCode(), 0);
  EXPECT_EQ(http_.ContentCharSet(), u"utf-8");
  EXPECT_FALSE(http_.AllowCharSet());
  EXPECT_TRUE(http_.HandleRedirects());
  EXPECT_EQ(http_.ConnectionTimeOut(), 60000);
  EXPECT_EQ(http_.ResponseTimeout(), 60000);
  EXPECT_EQ(http_.ContentType(), u"");

  Answer(Reply(u"", u"", "ok"));
  EXPECT_EQ(http_.Get(u"http://host/x"), u"ok");
  ASSERT_EQ(Requests().size(), 1u);
  const HttpRequest& r = Requests()[0];
  EXPECT_EQ(r.Method, u"GET");
  EXPECT_EQ(r.URL, u"http://host/x");
  EXPECT_EQ(r.Body, "");
  EXPECT_EQ(r.Headers,
            u"Accept: text/html,application/xhtml+xml, */*\r\n"
            u"Accept-Encoding: gzip, deflate\r\n"
            u"Accept-Language: ko-KR\r\n"
            u"User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
            u"Chrome/96.0.4664.45 Safari/537.36\r\n"
            u"DNT: 1\r\n"
            u"Cache-Control: no-cache\r\n");
}

TEST_F(THTTPTest, HeaderPropertiesAndCustomHeadersShareOneList) {
  http_.SetCustomHeaders(u"accept", u"*/*");
  EXPECT_EQ(http_.Accept(), u"*/*");
  http_.SetUserAgent(u"qv");
  EXPECT_EQ(http_.CustomHeaders(u"USER-AGENT"), u"qv");
  http_.SetCustomHeaders(u"User-Version", u"3.6.0.0");
  http_.SetCustomHeaders(u"DNT", u"");
  EXPECT_EQ(http_.CustomHeaders(u"dnt"), u"");
  http_.SetConnectionTimeOut(5000);
  http_.SetResponseTimeout(7000);
  http_.SetHandleRedirects(false);

  Answer(Reply(u"", u"", ""));
  http_.Get(u"http://host/");
  ASSERT_EQ(Requests().size(), 1u);
  const HttpRequest& r = Requests()[0];
  EXPECT_NE(r.Headers.find(u"Accept: */*\r\n"), Text::npos);
  EXPECT_NE(r.Headers.find(u"User-Agent: qv\r\n"), Text::npos);
  EXPECT_NE(r.Headers.find(u"User-Version: 3.6.0.0\r\n"), Text::npos);
  EXPECT_EQ(r.Headers.find(u"DNT"), Text::npos);
  EXPECT_EQ(r.ConnectionTimeOut, 5000);
  EXPECT_EQ(r.ResponseTimeout, 7000);
  EXPECT_FALSE(r.HandleRedirects);
}

TEST_F(THTTPTest, PostSendsUtf8AndDefaultsOnlyAnEmptyContentType) {
  Answer(Reply(u"", u"", "1"));
  Answer(Reply(u"", u"", "2"));
  Answer(Reply(u"", u"", "3"));
  http_.Post(u"http://host/a", u"k=한글");
  http_.Post(u"http://host/a", u"");
  http_.SetContentType(u"application/json");
  http_.Post(u"http://host/a", u"[\"x\"]");
  ASSERT_EQ(Requests().size(), 3u);
  EXPECT_EQ(Requests()[0].Method, u"POST");
  EXPECT_EQ(Requests()[0].Body, "k=\xED\x95\x9C\xEA\xB8\x80");
  EXPECT_NE(Requests()[0].Headers.find(u"Content-Type: application/x-www-form-urlencoded\r\n"), Text::npos);
  EXPECT_EQ(Requests()[1].Body, "");
  EXPECT_NE(Requests()[2].Headers.find(u"Content-Type: application/json\r\n"), Text::npos);
  EXPECT_EQ(Requests()[2].Headers.find(u"urlencoded"), Text::npos);
  EXPECT_EQ(http_.ContentType(), u"application/json");
}

TEST_F(THTTPTest, StatusAndResultOfEachOutcome) {
  struct Case {
    const char* what;
    bool ok;
    HttpReply reply;
    Text error;
    Text result;  // empty: any non-empty text
    int32_t status;
  };
  const Case cases[] = {
      {"200", true, Reply(u"text/html", u"", "body"), u"", u"body", 200},
      {"404 with a page", true, Reply(u"text/html", u"", "<h1>Not Found</h1>", 404), u"", u"<h1>Not Found</h1>",
       404},
      {"500 with an empty body", true, Reply(u"", u"", "", 500), u"", u"", 500},
      {"transport failure", false, {}, u"HTTP 요청 실패 (오류 12029)", u"HTTP 요청 실패 (오류 12029)", -1},
      {"transport failure without a text", false, {}, u"", u"", -1},
      {"broken gzip after a 200", true, Reply(u"", u"gzip", "not gzip"), u"", u"", -1},
  };
  for (const auto& c : cases) {
    c.ok ? Answer(c.reply) : Fail(c.error);
    const Text got = http_.Get(u"http://host/");
    EXPECT_EQ(http_.StatusCode(), c.status) << c.what;
    if (c.result.empty() && c.status == -1) EXPECT_FALSE(got.empty()) << c.what;
    else EXPECT_EQ(got, c.result) << c.what;
  }
}

TEST_F(THTTPTest, RefusesAHeaderThatWouldSplitWithoutSending) {
  http_.SetCustomHeaders(u"User-UnionKey", u"abc\r\nX-Injected: 1");
  const Text got = http_.Get(u"http://host/");
  EXPECT_FALSE(got.empty());
  EXPECT_EQ(http_.StatusCode(), -1);
  EXPECT_TRUE(Requests().empty());
}

TEST_F(THTTPTest, AllowCharSetCarriesTheDecodingCharsetToLaterResponses) {
  // Off: a labelled response leaves the default alone.
  Answer(Reply(u"text/html; charset=EUC-KR", u"", kKoreanEucKr));
  Answer(Reply(u"text/html", u"", "\xC7\xD1"));
  EXPECT_EQ(http_.Get(u"http://host/"), kKorean);
  EXPECT_EQ(http_.ContentCharSet(), u"utf-8");
  EXPECT_EQ(http_.Get(u"http://host/"), u"\uFFFD\uFFFD");

  // On: the lower-cased label becomes the default for an unlabelled response.
  http_.SetAllowCharSet(true);
  Answer(Reply(u"text/html; charset=EUC-KR", u"", kKoreanEucKr));
  Answer(Reply(u"text/html", u"", "\xC7\xD1"));
  EXPECT_EQ(http_.Get(u"http://host/"), kKorean);
  EXPECT_EQ(http_.ContentCharSet(), u"euc-kr");
  EXPECT_EQ(http_.Get(u"http://host/"), u"한");

  // Sniffed UTF-8 counts as the decoding charset too; a failure changes nothing.
  Answer(Reply(u"text/html; charset=euc-kr", u"", kKoreanUtf8));
  EXPECT_EQ(http_.Get(u"http://host/"), kKorean);
  EXPECT_EQ(http_.ContentCharSet(), u"utf-8");
  http_.SetContentCharSet(u"euc-kr");
  Answer(Reply(u"text/html; charset=utf-8", u"gzip", "broken"));
  http_.Get(u"http://host/");
  EXPECT_EQ(http_.ContentCharSet(), u"euc-kr");
}

TEST(THTTP, WithoutAClientEveryRequestFails) {
  THTTP http(nullptr, DecodeCp949);
  EXPECT_FALSE(http.Get(u"http://host/").empty());
  EXPECT_EQ(http.StatusCode(), -1);
  EXPECT_FALSE(http.Post(u"http://host/", u"x").empty());
  EXPECT_EQ(http.StatusCode(), -1);
}

}  // namespace
}  // namespace vek
