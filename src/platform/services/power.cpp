#include "platform/services/power.hpp"

#include <gio/gio.h>

namespace quendal::services {
namespace {

constexpr const char* kUPowerName = "org.freedesktop.UPower";
constexpr const char* kUPowerPath = "/org/freedesktop/UPower";
constexpr const char* kDeviceInterface = "org.freedesktop.UPower.Device";

// UPower's device kinds and states.
constexpr guint32 kTypeBattery = 2;
constexpr guint32 kStateCharging = 1;
constexpr guint32 kStateDischarging = 2;
constexpr guint32 kStateEmpty = 3;
constexpr guint32 kStateFullyCharged = 4;
constexpr guint32 kStatePendingCharge = 5;

GDBusConnection* systemBus()
{
    // GIO keeps one shared connection per bus; a missing bus fails at once.
    return g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
}

GVariant* call(GDBusConnection* bus, const char* name, const char* path, const char* interface,
               const char* method, GVariant* parameters, const GVariantType* replyType)
{
    return g_dbus_connection_call_sync(bus, name, path, interface, method, parameters, replyType,
                                       G_DBUS_CALL_FLAGS_NO_AUTO_START, kServiceCallTimeoutMs, nullptr, nullptr);
}

// All properties of one interface as a{sv}, or null.
GVariant* allProperties(GDBusConnection* bus, const char* name, const char* path, const char* interface)
{
    GVariant* reply = call(bus, name, path, "org.freedesktop.DBus.Properties", "GetAll",
                           g_variant_new("(s)", interface), G_VARIANT_TYPE("(a{sv})"));
    if (!reply) return nullptr;
    GVariant* dict = g_variant_get_child_value(reply, 0);
    g_variant_unref(reply);
    return dict;
}

template <typename T>
bool lookup(GVariant* dict, const char* key, const char* format, T& out)
{
    return g_variant_lookup(dict, key, format, &out);
}

}  // namespace

InternalBattery internalBattery()
{
    InternalBattery battery;
    GDBusConnection* bus = systemBus();
    if (!bus) return battery;

    bool onBattery = false;
    if (GVariant* manager = allProperties(bus, kUPowerName, kUPowerPath, kUPowerName)) {
        gboolean value = FALSE;
        if (lookup(manager, "OnBattery", "b", value)) onBattery = value;
        g_variant_unref(manager);
    }

    GVariant* reply = call(bus, kUPowerName, kUPowerPath, kUPowerName, "EnumerateDevices", nullptr,
                           G_VARIANT_TYPE("(ao)"));
    if (!reply) {
        g_object_unref(bus);
        return battery;
    }
    GVariantIter* paths = nullptr;
    g_variant_get(reply, "(ao)", &paths);
    const char* path = nullptr;
    while (!battery.found && g_variant_iter_next(paths, "&o", &path)) {
        GVariant* props = allProperties(bus, kUPowerName, path, kDeviceInterface);
        if (!props) continue;
        guint32 type = 0, state = 0;
        gboolean powerSupply = FALSE;
        gboolean present = TRUE;
        lookup(props, "Type", "u", type);
        lookup(props, "State", "u", state);
        lookup(props, "PowerSupply", "b", powerSupply);
        lookup(props, "IsPresent", "b", present);
        // Peripheral batteries (mice, phones) report PowerSupply false.
        if (type == kTypeBattery && powerSupply && present) {
            battery.found = true;
            double energy = 0, energyFull = 0;
            lookup(props, "Energy", "d", energy);
            lookup(props, "EnergyFull", "d", energyFull);
            if (energyFull > 0) battery.level = energy / energyFull;
            battery.charging = state == kStateCharging;
            battery.externalPower = state == kStateFullyCharged || state == kStatePendingCharge ||
                                    (!onBattery && state != kStateDischarging && state != kStateEmpty);
        }
        g_variant_unref(props);
    }
    g_variant_iter_free(paths);
    g_variant_unref(reply);
    g_object_unref(bus);
    return battery;
}

bool lowPowerMode()
{
    GDBusConnection* bus = systemBus();
    if (!bus) return false;
    // The daemon's historical name first, then the name it took when it joined UPower.
    static constexpr const char* kServices[][3] = {
        {"net.hadess.PowerProfiles", "/net/hadess/PowerProfiles", "net.hadess.PowerProfiles"},
        {"org.freedesktop.UPower.PowerProfiles", "/org/freedesktop/UPower/PowerProfiles",
         "org.freedesktop.UPower.PowerProfiles"},
    };
    bool saving = false;
    for (const auto& service : kServices) {
        GVariant* reply = call(bus, service[0], service[1], "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", service[2], "ActiveProfile"), G_VARIANT_TYPE("(v)"));
        if (!reply) continue;
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
            saving = g_strcmp0(g_variant_get_string(value, nullptr), "power-saver") == 0;
        }
        g_variant_unref(value);
        g_variant_unref(reply);
        break;
    }
    g_object_unref(bus);
    return saving;
}

}  // namespace quendal::services
