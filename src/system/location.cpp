#include "system/location.hpp"

#include <glib.h>

#include "runtime/bundle.hpp"
#include "system/dispatch.hpp"

namespace quendal::system {
namespace {

using services::AuthorizationStatus;

constexpr const char* kUsageKey = "NSLocationUsageDescription";

const char* permissionName(AuthorizationStatus status)
{
    switch (status) {
    case AuthorizationStatus::Restricted:
        return "restricted";
    case AuthorizationStatus::Denied:
        return "denied";
    case AuthorizationStatus::AuthorizedAlways:
        return "authorized";
    default:
        return "not_determined";
    }
}

Json optionalJson(const std::optional<double>& value)
{
    return value ? Json(*value) : Json(nullptr);
}

Json optionalJson(const std::optional<std::string>& value)
{
    return value ? Json(*value) : Json(nullptr);
}

Json sampleFromFix(const services::LocationFix& fix)
{
    return Json{
        {"latitude", fix.latitude},
        {"longitude", fix.longitude},
        {"altitude", fix.verticalAccuracy ? optionalJson(fix.altitude) : Json(nullptr)},
        {"horizontal_accuracy", fix.horizontalAccuracy},
        {"vertical_accuracy", optionalJson(fix.verticalAccuracy)},
        {"speed", optionalJson(fix.speed)},
        {"course", optionalJson(fix.course)},
        {"timestamp", fix.timestamp},
    };
}

Json placemarkJson(const services::Placemark& placemark)
{
    return Json{
        {"latitude", optionalJson(placemark.latitude)},
        {"longitude", optionalJson(placemark.longitude)},
        {"name", optionalJson(placemark.name)},
        {"street", optionalJson(placemark.street)},
        {"street_number", optionalJson(placemark.streetNumber)},
        {"city", optionalJson(placemark.city)},
        {"region", optionalJson(placemark.region)},
        {"country", optionalJson(placemark.country)},
        {"country_code", optionalJson(placemark.countryCode)},
        {"postal_code", optionalJson(placemark.postalCode)},
        {"time_zone", optionalJson(placemark.timeZone)},
    };
}

// A value that QuendalPyNumber accepted.
double number(const Json& payload, const char* key)
{
    const Json& value = payload[key];
    return value.is_boolean() ? (value.get<bool>() ? 1.0 : 0.0) : value.get<double>();
}

RequestRef QuendalPyLocationStatus()
{
    const auto services = services::locationServicesState();
    auto manager = services::LocationManager::create();
    return QuendalPyValue(Json{
        {"permission", permissionName(manager->authorizationStatus())},
        {"enabled", services.enabled},
        {"precise", services.fullAccuracy},
    });
}

RequestRef QuendalPyGeocode(bool forward, const Json& payload)
{
    const bool valid = forward ? QuendalPyString(payload, "address", false)
                               : QuendalPyNumber(payload, "latitude", -90, 90) &&
                                     QuendalPyNumber(payload, "longitude", -180, 180);
    if (!valid) return QuendalPyFailure("value", "A nonempty address or valid coordinates are required.");

    auto request = std::make_shared<QuendalPyLocationRequest>();
    request->geocoder = std::make_unique<services::Geocoder>();
    // Weak: a request that Python let go of is not kept alive by its lookup.
    std::weak_ptr<QuendalPyLocationRequest> weak = request;
    auto completion = [weak](std::vector<services::Placemark> placemarks, std::optional<std::string> error) {
        auto request = weak.lock();
        if (!request) return;
        if (error) {
            request->fail("os", std::move(*error));
            return;
        }
        Json matches = Json::array();
        for (const auto& placemark : placemarks) matches.push_back(placemarkJson(placemark));
        request->finish(std::move(matches));
    };
    if (forward) {
        request->geocoder->geocodeAddressString(payload["address"].get<std::string>(), std::move(completion));
    } else {
        request->geocoder->reverseGeocodeLocation(number(payload, "latitude"), number(payload, "longitude"),
                                                  std::move(completion));
    }
    return request;
}

bool validSamplingOptions(const Json& payload)
{
    return QuendalPyNumber(payload, "accuracy", 0.1, 10000) && QuendalPyNumber(payload, "max_age", 0, 86400) &&
           QuendalPyNumber(payload, "distance_filter", 0, 100000) && QuendalPyNumber(payload, "capacity", 1, 4096);
}

RequestRef QuendalPyPositions(const std::string& operation, const Json& payload)
{
    const bool permissionOnly = operation == "location.request_permission";
    if (!permissionOnly) {
        if (!validSamplingOptions(payload)) return QuendalPyFailure("value", "Invalid location sampling options.");
        if (!services::locationServicesState().enabled) {
            return QuendalPyFailure("permission", "Location Services are disabled.");
        }
    }

    auto request = std::make_shared<QuendalPyLocationRequest>();
    request->permissionOnly = permissionOnly;
    request->streaming = operation == "location.watch";
    request->maxAge = permissionOnly ? 0 : number(payload, "max_age");
    request->setCapacity(permissionOnly ? 1 : static_cast<uint64_t>(number(payload, "capacity")));
    request->manager = services::LocationManager::create();
    request->manager->setDesiredAccuracy(permissionOnly ? services::LocationManager::kDesiredAccuracyBest
                                                        : number(payload, "accuracy"));
    request->manager->setDistanceFilter(permissionOnly ? 0 : number(payload, "distance_filter"));

    if (request->manager->authorizationStatus() != AuthorizationStatus::NotDetermined) {
        request->manager->setDelegate(request);
        request->beginUpdates();
        return request;
    }
    QuendalPyPrepareApplication();
    if (!QuendalPyUsageKey()) {
        request->fail("runtime",
                      std::string("The host app must provide ") + kUsageKey + ". On macOS, use the quendal-py launcher.");
        return request;
    }
    request->manager->setDelegate(request);
    request->manager->requestWhenInUseAuthorization();
    return request;
}

}  // namespace

bool QuendalPyUsageKey()
{
    const auto text = bundleInfoString(kUsageKey);
    return text && !text->empty();
}

void QuendalPyLocationRequest::beginUpdates()
{
    if (closed() || done() || !manager) return;
    const AuthorizationStatus status = manager->authorizationStatus();
    if (status == AuthorizationStatus::NotDetermined) return;
    if (permissionOnly) {
        finish(permissionName(status));
        return;
    }
    if (status == AuthorizationStatus::Restricted || status == AuthorizationStatus::Denied) {
        manager->stopUpdatingLocation();
        fail("permission", "Location access was denied or restricted.");
        return;
    }
    if (!started) {
        started = true;
        manager->startUpdatingLocation();
    }
}

void QuendalPyLocationRequest::close()
{
    if (manager) {
        manager->stopUpdatingLocation();
        manager->setDelegate({});
        manager.reset();
    }
    if (geocoder) {
        geocoder->cancelGeocode();
        geocoder.reset();
    }
    QuendalPyRequest::close();
}

void QuendalPyLocationRequest::locationManagerDidChangeAuthorization(services::LocationManager&)
{
    beginUpdates();
}

void QuendalPyLocationRequest::locationManagerDidUpdateLocations(services::LocationManager&,
                                                                 const std::vector<services::LocationFix>& locations)
{
    if (done() || closed()) return;
    const double now = static_cast<double>(g_get_real_time()) / 1e6;
    for (const auto& fix : locations) {
        if (fix.horizontalAccuracy < 0) continue;
        if (now - fix.timestamp > maxAge) continue;
        if (!streaming) {
            finish(sampleFromFix(fix));
            if (manager) manager->stopUpdatingLocation();
            return;
        }
        push(sampleFromFix(fix));
    }
}

void QuendalPyLocationRequest::locationManagerDidFailWithError(services::LocationManager&,
                                                               const services::LocationError& error)
{
    // A position that could not be read this time; the next one may be fine.
    if (error.code == services::LocationError::LocationUnknown) return;
    fail(error.code == services::LocationError::Denied ? "permission" : "os", error.description);
    if (manager) manager->stopUpdatingLocation();
}

RequestRef QuendalPyLocation(const std::string& operation, const Json& payload)
{
    if (operation == "location.status") return QuendalPyLocationStatus();
    if (operation == "location.geocode") return QuendalPyGeocode(true, payload);
    if (operation == "location.reverse_geocode") return QuendalPyGeocode(false, payload);
    if (operation == "location.request_permission" || operation == "location.current" ||
        operation == "location.watch") {
        return QuendalPyPositions(operation, payload);
    }
    return QuendalPyFailure("value", "Unknown location operation.");
}

}  // namespace quendal::system
