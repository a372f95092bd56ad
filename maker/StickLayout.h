#pragma once

#include "core/Plist.h"

#include <string>

namespace sarnovelle {

// The first thing about a stick's table and volume that keeps it from
// being one this application makes, in the user's words ("partition 1 is
// not FAT32"); empty when none. `disk` and `partition` are the disk
// utility's info answers for the whole disk and its partition 1. Checked
// in order: an MBR ("Content" FDisk_partition_scheme) and no GPT header
// beside it, exactly one partition, at sector 2048 (1 MiB), of 2097152
// sectors (1024 MiB), of type 0x0c, FAT32, labelled SARNOVELLE.
std::string tableProblem(const PlistDict& disk);
std::string partitionProblem(const PlistDict& partition);

} // namespace sarnovelle
