#pragma once
// The pages a browser sees: plain HTML and CSS built on the server, in Korean,
// with no script.
#include <span>
#include <string>
#include <string_view>

#include "service/report.h"
#include "service/store.h"

namespace quorvane::service {

// The page of one stored report. plugin_list is the list the program holds once
// it has read the configuration (EffectivePluginList); installed programs that
// match it are marked and pointed to the program's forced-install page. The
// report is taken whole and each of its lists freed once its section is
// written, so that a large report and its page are never both in memory.
std::string RenderReportPage(Report report, const StoredReport& stored, std::span<const std::string> plugin_list);

// What a report is; shown for the site's root and for an empty key, which is
// also where the program lands when its upload failed.
std::string RenderAboutPage();

// No report of that key.
std::string RenderNotFoundPage();

// The report exists but cannot be shown now (storage failing).
std::string RenderUnavailablePage();

// Human figures used on the page: bytes as "3.2 GB" or "512 MB" (binary
// units, as Windows shows them), and a change with its sign ("+1.3 GB").
std::string FormatBytes(std::uint64_t bytes);
std::string FormatByteChange(std::uint64_t before, std::uint64_t after);

}  // namespace quorvane::service
