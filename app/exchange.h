#pragma once
// The two messages the program exchanges with its web service: the configuration
// reply read at start, and the report uploaded after a reset. Replies are read by
// scanning for literal markers; reports are concatenated text. Nothing here
// throws: a value with a malformed \u escape is skipped.
#include <cstdint>
#include <vector>

#include "vek/text.h"

namespace app {

// The configuration reply's contents that the program acts on.
struct ServerConfig {
  vek::Text Update;                  // where to get a newer version; empty for none
  // Additions to the keep-list and the plug-in list, in reply order, each held to
  // the caps of app/outside_lists.h.
  std::vector<vek::Text> NoClean;
  std::vector<vek::Text> BankClean;
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

}  // namespace app
