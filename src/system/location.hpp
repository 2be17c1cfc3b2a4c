// Location: the authorization state, the permission prompt, one fix or a stream
// of fixes, and geocoding. Main thread only: requests are made inside start, and
// every platform callback arrives on the default main context.
#pragma once

#include <memory>
#include <string>

#include "platform/services/geocoder.hpp"
#include "platform/services/location_manager.hpp"
#include "system/request.hpp"

namespace quendal::system {

// A position, permission or geocoding request. It is its location manager's
// delegate; the base request's lock guards the outcome, and the fields below are
// touched on the main thread only.
class QuendalPyLocationRequest : public QuendalPyRequest,
                                 public services::LocationManagerDelegate {
public:
    std::shared_ptr<services::LocationManager> manager;
    std::unique_ptr<services::Geocoder> geocoder;
    bool permissionOnly = false;  // reports the authorization outcome only
    bool streaming = false;       // a watch: every accepted fix becomes a sample
    bool started = false;         // position updates were started once
    double maxAge = 0;            // oldest acceptable fix, seconds

    // Run once authorized, and again on every authorization change.
    void beginUpdates();

    // Stops the manager, cancels any geocoding, then closes the request.
    void close() override;

    void locationManagerDidChangeAuthorization(services::LocationManager& manager) override;
    void locationManagerDidUpdateLocations(services::LocationManager& manager,
                                           const std::vector<services::LocationFix>& locations) override;
    void locationManagerDidFailWithError(services::LocationManager& manager,
                                         const services::LocationError& error) override;
};

// Handles every "location." operation.
RequestRef QuendalPyLocation(const std::string& operation, const Json& payload);

// True when the host application's bundle declares a non-empty
// "NSLocationUsageDescription".
bool QuendalPyUsageKey();

}  // namespace quendal::system
