#pragma once
// The two messages the program exchanges with its web service: the configuration
// reply read at start, and the report uploaded after a reset. Replies are read by
// scanning for literal markers; reports are concatenated text. Nothing here
// throws: a value with a malformed \u escape is skipped.
#include <cstdint>
#include <string_view>
#include <vector>

#include "vek/text.h"

namespace app {

// The configuration reply's contents that the program acts on.
struct ServerConfig {
  vek::Text Update;                  // where to get a newer version; empty for none
  std::vector<vek::Text> NoClean;    // keep-list additions, in reply order
  std::vector<vek::Text> BankClean;  // plug-in list additions, in reply order
};

// Whether a reply's "status" value, unescaped, is exactly "ok".
bool StatusIsOk(vek::TextView reply);

// Reads a reply whose status is ok. An "update" value that is not an http or
// https URL counts as none: an elevated program must not hand whatever file or
// scheme a reply names to the shell.
ServerConfig ReadServerConfig(vek::TextView reply);

// Whether a text is an absolute http:// or https:// URL with a host.
bool IsWebUrl(vek::TextView url);

// The report key "pk" of an upload reply, unescaped; empty when missing.
vek::Text ReadReportKey(vek::TextView reply);

// The report key made safe to append to the report page's URL: UTF-8 bytes
// outside the URL-unreserved characters (A-Z a-z 0-9 - . _ ~) become %XX.
vek::Text EncodeReportKey(vek::TextView key);

// "[" + records joined with "," + "]"; the records are those of core/report.h.
vek::Text ReportBody(const std::vector<vek::Text>& records);

// The tips the Reset page shows after a successful configuration fetch, in the
// status-text markup.
extern const vek::TextView kTips[3];

// The lines of a NoClean.txt: a UTF-8 or UTF-16 (either byte order) byte-order
// mark selects that encoding, otherwise ansiToText decodes the bytes (the
// system's ANSI code page on Windows). Lines end at CR LF, LF or CR; a break at
// the very end adds no empty line. Lines are kept as written, blanks included.
using AnsiDecoder = vek::Text (*)(std::string_view bytes);
std::vector<vek::Text> TextFileLines(std::string_view bytes, AnsiDecoder ansiToText);

}  // namespace app
