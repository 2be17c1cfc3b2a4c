// Facts about this machine, read from the kernel. Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace quendal::services {

struct SystemIdentity {
    std::string release;  // kernel release, the system version here
    std::string machine;  // hardware name, e.g. "x86_64"
};

SystemIdentity systemIdentity();
int64_t processorCount();
int64_t activeProcessorCount();
uint64_t physicalMemory();
double uptimeSeconds();

// 0 nominal, 1 fair, 2 serious, 3 critical: the hottest thermal zone against its
// own trip points (passive, hot, critical). 0 where the kernel exposes none.
int thermalState();

struct FileSystemSize {
    bool ok = false;
    uint64_t total = 0;
    uint64_t free = 0;
    std::string error;  // the system's description when !ok
};

// The file system that holds path.
FileSystemSize fileSystemSize(const std::string& path);

}  // namespace quendal::services
