#include "platform/process/memory.hpp"

#include <cstdio>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace quendal::process {

uint64_t residentBytes()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long long size = 0, resident = 0;
    const int read = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    if (read != 2) return 0;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t physicalFootprintBytes()
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    uint64_t kib = 0;
    int found = 0;
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long value = 0;
        if (std::sscanf(line, "RssAnon: %llu kB", &value) == 1 || std::sscanf(line, "RssShmem: %llu kB", &value) == 1 ||
            std::sscanf(line, "VmSwap: %llu kB", &value) == 1) {
            kib += value;
            ++found;
        }
    }
    std::fclose(f);
    return found ? kib * 1024 : 0;
}


void adviseFillingAtOnce(void* start, uint64_t length)
{
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + length) & ~(kHugePage - 1);
    if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace quendal::process
