#pragma once
// The report records the pages append for the upload after a reset, one JSON
// object per record, written by concatenating fixed texts with escaped values.
#include <cstdint>

#include "vek/text.h"

namespace core {

// Text values must already be what the record shows (folded paths); they are
// escaped here.
vek::Text CleanRecord(vek::TextView foldedFile, int32_t state);
vek::Text MemoryRecord(int64_t oldAvail, int64_t newAvail, int64_t total);
vek::Text BrowserRecord(vek::TextView clsid, vek::TextView item);
// state: "on", "off" (switched off by Windows' own switch) or "stored".
vek::Text StartRecord(vek::TextView item, vek::TextView state);
vek::Text InstallRecord(vek::TextView displayName, vek::TextView publisher);
// A termination the system refused ("denied") or failed ("error N").
vek::Text RefusedRecord(vek::TextView foldedFile, vek::TextView why);
// A process that came back under a new identifier; program is the installed
// program whose folder holds the file and publisher the file's own, each empty
// when unknown.
vek::Text BackRecord(vek::TextView foldedFile, uint32_t processId, vek::TextView program, vek::TextView publisher);

}  // namespace core
