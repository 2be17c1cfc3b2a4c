#include "platform/services/device_facts.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace quendal::services {

SystemIdentity systemIdentity()
{
    utsname name{};
    if (uname(&name) != 0) return {};
    return {name.release, name.machine};
}

int64_t processorCount()
{
    return sysconf(_SC_NPROCESSORS_CONF);
}

int64_t activeProcessorCount()
{
    return sysconf(_SC_NPROCESSORS_ONLN);
}

uint64_t physicalMemory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages < 0 || pageSize < 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

double uptimeSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

namespace {

bool readNumber(const std::filesystem::path& path, long long& value)
{
    std::ifstream in(path);
    return static_cast<bool>(in >> value);
}

}  // namespace

int thermalState()
{
    std::error_code ec;
    int state = 0;
    for (const auto& zone : std::filesystem::directory_iterator("/sys/class/thermal", ec)) {
        if (zone.path().filename().string().rfind("thermal_zone", 0) != 0) continue;
        long long temp = 0;
        if (!readNumber(zone.path() / "temp", temp)) continue;
        for (int trip = 0; trip < 32; ++trip) {
            const auto prefix = zone.path() / ("trip_point_" + std::to_string(trip));
            std::ifstream typeFile(prefix.string() + "_type");
            std::string type;
            if (!(typeFile >> type)) break;
            long long limit = 0;
            if (!readNumber(prefix.string() + "_temp", limit) || limit <= 0 || temp < limit) continue;
            const int level = type == "critical" ? 3 : type == "hot" ? 2 : type == "passive" ? 1 : 0;
            state = std::max(state, level);
        }
    }
    return state;
}

FileSystemSize fileSystemSize(const std::string& path)
{
    FileSystemSize size;
    if (path.find('\0') != std::string::npos) {
        // The kernel would read a shorter path than the caller named.
        size.error = std::strerror(EINVAL);
        return size;
    }
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0) {
        size.error = std::strerror(errno);
        return size;
    }
    size.ok = true;
    size.total = static_cast<uint64_t>(info.f_blocks) * info.f_frsize;
    // What an unprivileged caller can still write, as the platform reports free space.
    size.free = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    return size;
}

}  // namespace quendal::services
