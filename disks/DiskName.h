#pragma once

#include <string_view>

namespace sarnovelle {

// True for a plain disk name such as "disk4": ASCII letters and digits
// only, not empty. Identifiers are glued into "/dev/" paths, disk utility
// arguments and sysfs paths, so nothing else is accepted.
bool isPlainDiskName(std::string_view identifier);

} // namespace sarnovelle
