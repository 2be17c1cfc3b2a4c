// Power sources and the power profile, as system D-Bus clients (UPower and
// power-profiles-daemon). Any thread. Every call is bounded by a D-Bus timeout,
// so an absent or silent service costs at most that long.
#pragma once

#include <optional>
#include <string>

namespace quendal::services {

inline constexpr int kServiceCallTimeoutMs = 1500;

struct InternalBattery {
    bool found = false;
    std::optional<double> level;  // fraction 0..1; empty when the full capacity is unknown
    bool charging = false;
    bool externalPower = false;  // the platform's "AC Power" source state
};

// The first battery that powers the system, in UPower's device order.
InternalBattery internalBattery();

// True when power-profiles-daemon runs and its active profile is "power-saver".
bool lowPowerMode();

}  // namespace quendal::services
