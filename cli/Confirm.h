#pragma once

#include "cli/Output.h"
#include "disks/UsbDisks.h"

#include <vector>

namespace sarnovelle::cli {

// Whether `fd` is a terminal.
bool isTerminal(int fd);

// Shows each disk's label, as the window's confirmation does, and asks the
// user to type the ids back on the terminal `input`. True only when the
// answer names exactly these ids (in any order, separated by blanks).
bool confirmByTyping(const std::vector<UsbDisk>& disks, int input, Output& output);

} // namespace sarnovelle::cli
