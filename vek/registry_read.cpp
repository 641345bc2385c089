#include "vek/registry_read.h"

#include <optional>

namespace vek {
namespace {

std::optional<int32_t> DwordOf(const std::optional<RegValue>& value) {
  if (!value || value->Type != kRegDword) return std::nullopt;
  std::optional<uint32_t> d = RegDataDword(value->Data);
  if (!d) return std::nullopt;
  return int32_t(*d);
}

}  // namespace

Text IntToText(int32_t value) {
  // Work in 64 bits so that INT32_MIN negates.
  int64_t v = value;
  const bool negative = v < 0;
  if (negative) v = -v;
  Text digits;
  do {
    digits.insert(digits.begin(), char16_t(u'0' + v % 10));
    v /= 10;
  } while (v);
  if (negative) digits.insert(digits.begin(), u'-');
  return digits;
}

bool ReadBoolDef(TRegistry& registry, const Text& name, bool defaultValue) {
  std::optional<int32_t> d = DwordOf(registry.ReadValue(name));
  return d ? *d != 0 : defaultValue;
}

int32_t ReadIntegerDef(TRegistry& registry, const Text& name, int32_t defaultValue) {
  return DwordOf(registry.ReadValue(name)).value_or(defaultValue);
}

Text ReadStringDef(TRegistry& registry, const Text& name, const Text& defaultValue) {
  std::optional<RegValue> value = registry.ReadValue(name);
  if (!value) return defaultValue;
  if (value->Type == kRegSz || value->Type == kRegExpandSz) return RegDataText(value->Data);
  if (std::optional<int32_t> d = DwordOf(value)) return IntToText(*d);
  return defaultValue;
}

}  // namespace vek
