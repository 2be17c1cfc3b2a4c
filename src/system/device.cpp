// Motion and device operations: each completes at once on a plain request.
#include "platform/services/device_facts.hpp"
#include "platform/services/power.hpp"
#include "runtime/file_access.hpp"
#include "system/dispatch.hpp"

namespace quendal::system {
namespace {

const char* thermalStateName(int state)
{
    static constexpr const char* kNames[] = {"nominal", "fair", "serious", "critical"};
    if (state < 0) return kNames[0];
    return kNames[state > 3 ? 3 : state];
}

RequestRef QuendalPyDeviceInfo()
{
    const auto identity = services::systemIdentity();
    return QuendalPyValue(Json{
        {"platform", "linux"},
        {"system_version", identity.release},
        {"machine", identity.machine},
        {"cpu_count", services::processorCount()},
        {"active_cpu_count", services::activeProcessorCount()},
        {"physical_memory", services::physicalMemory()},
        {"uptime", services::uptimeSeconds()},
        {"low_power", services::lowPowerMode()},
        {"thermal_state", thermalStateName(services::thermalState())},
    });
}

RequestRef QuendalPyBattery()
{
    Json result{{"level", nullptr}, {"state", "unavailable"}};
    const auto battery = services::internalBattery();
    if (battery.found) {
        result["level"] = battery.level ? Json(*battery.level) : Json(nullptr);
        result["state"] = battery.charging ? "charging" : battery.externalPower ? "full" : "unplugged";
    }
    return QuendalPyValue(std::move(result));
}

RequestRef QuendalPyStorage(const Json& payload)
{
    if (!QuendalPyString(payload, "path", false)) return QuendalPyFailure("value", "path must be a nonempty string.");
    const std::string& path = payload["path"].get_ref<const std::string&>();
    services::FileSystemSize size;
    {
        QuendalPyFileAccess access(path);
        size = services::fileSystemSize(path);
    }
    if (!size.ok) return QuendalPyFailure("os", size.error);
    return QuendalPyValue(Json{{"total", size.total}, {"free", size.free}});
}

}  // namespace

RequestRef QuendalPyMotion(const std::string& operation, const Json&)
{
    if (operation == "motion.available") {
        return QuendalPyValue(
            Json{{"accelerometer", false}, {"device", false}, {"gyroscope", false}, {"magnetometer", false}});
    }
    return QuendalPyFailure("not_implemented", "Core Motion device sensors are not available in native macOS Python.");
}

RequestRef QuendalPyDevice(const std::string& operation, const Json& payload)
{
    if (operation == "device.info") return QuendalPyDeviceInfo();
    if (operation == "device.battery") return QuendalPyBattery();
    if (operation == "device.storage") return QuendalPyStorage(payload);
    return QuendalPyFailure("value", "Unknown device or clipboard operation.");
}

}  // namespace quendal::system
