// What the kernel says about this process's memory, from /proc/self, and what
// it is told about memory about to be filled.
#pragma once

#include <cstdint>

namespace quendal::process {

// Resident set size in bytes (/proc/self/statm); 0 if it cannot be read.
uint64_t residentBytes();

// Memory that is this process's alone: RssAnon + RssShmem + VmSwap of
// /proc/self/status, in bytes; 0 if it cannot be read.
uint64_t physicalFootprintBytes();

// Asks for huge pages behind the whole 2 MiB pages inside [start, start +
// length), freshly allocated and about to be written at once: one fault per
// 2 MiB instead of one per 4 KiB, which for large copies costs more than the
// copy itself. Only a hint; smaller ranges and refusals change nothing.
void adviseFillingAtOnce(void* start, uint64_t length);

}  // namespace quendal::process
