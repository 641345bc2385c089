#pragma once
// Typed reads of one value from the key a TRegistry accessor holds open. Each
// learns the value's existence, type and data in one registry query (under Wine
// every query is a round trip to the wine server). The readers neither open nor
// close keys; an empty value name is the key's default value. None throws: a
// missing value, a value of another type, a DWORD shorter than four bytes or an
// accessor with no open key gives the caller's default.
#include <cstdint>

#include "vek/registry.h"
#include "vek/text.h"

namespace vek {

// A REG_DWORD: true unless 0. A text "1" gives the default.
bool ReadBoolDef(TRegistry& registry, const Text& name, bool defaultValue);
// A REG_DWORD as signed 32-bit (0xFFFFFFFF is -1).
int32_t ReadIntegerDef(TRegistry& registry, const Text& name, int32_t defaultValue);
// REG_SZ or REG_EXPAND_SZ as stored (environment references not expanded), cut at
// the first NUL; a REG_DWORD as its signed decimal text. Other types: the default.
Text ReadStringDef(TRegistry& registry, const Text& name, const Text& defaultValue);

// Decimal text of a signed 32-bit number.
Text IntToText(int32_t value);

}  // namespace vek
