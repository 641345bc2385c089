#pragma once
// The plug-in list: display names of the security plug-ins that the program's
// forced-install page offers for removal. The report page marks the installed
// programs it matches the same way the program does.
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::service {

// The entries the program ships with, in its order.
std::span<const std::string_view> BuiltInPluginNames();

// The program's rule: each item is trimmed of U+0000..U+0020 at both ends;
// empty items and items starting with "//" are passed over; a name matches when
// it begins with a trimmed item, case-sensitively.
bool MatchesPluginList(std::span<const std::string> items, std::string_view display_name);

// The built-in entries followed by the service's own additions, as the program
// holds them once it has read the configuration.
std::vector<std::string> EffectivePluginList(std::span<const std::string> additions);

}  // namespace quorvane::service
