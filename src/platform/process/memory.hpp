// What the kernel says about this process's memory, from /proc/self.
#pragma once

#include <cstdint>

namespace quendal::process {

// Resident set size in bytes (/proc/self/statm); 0 if it cannot be read.
uint64_t residentBytes();

// Memory that is this process's alone: RssAnon + RssShmem + VmSwap of
// /proc/self/status, in bytes; 0 if it cannot be read.
uint64_t physicalFootprintBytes();

}  // namespace quendal::process
