#pragma once

#include "disks/UsbDisks.h"

#include <string>
#include <string_view>
#include <vector>

namespace sarnovelle::cli {

// `text` as a JSON string, quotes included. Control characters (C0, DEL
// and C1) are escaped, so that none reaches a terminal;
// bytes that are not valid UTF-8 become U+FFFD, so the result is always
// valid JSON.
std::string jsonString(std::string_view text);

// The disks as a JSON array of {"id", "name", "size", "serial"} objects,
// one per line, in list order; "[]" when there are none. Ends with a line
// feed.
std::string disksJson(const std::vector<UsbDisk>& disks);

} // namespace sarnovelle::cli
