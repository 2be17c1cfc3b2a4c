// A geocoder in the shape of CoreLocation's, speaking the Nominatim protocol
// over HTTP (libsoup 3): forward search by address and reverse lookup by
// coordinate. The server is QUENDAL_GEOCODER_URL, else the public Nominatim
// service, whose usage policy asks for a User-Agent that names the client.
//
// Main thread only; the completion runs later on the default main context,
// never inside the call that started the lookup, and never after cancelGeocode.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quendal::services {

struct Placemark {
    std::optional<double> latitude;
    std::optional<double> longitude;
    std::optional<std::string> name;
    std::optional<std::string> street;
    std::optional<std::string> streetNumber;
    std::optional<std::string> city;
    std::optional<std::string> region;
    std::optional<std::string> country;
    std::optional<std::string> countryCode;  // ISO 3166 alpha-2, upper case
    std::optional<std::string> postalCode;
    std::optional<std::string> timeZone;     // tz database identifier
};

// One Nominatim result (an object of a search array, or a reverse answer).
Placemark placemarkFromNominatim(const nlohmann::json& result);

// The server's base URL without a trailing slash.
std::string geocoderBaseUrl();

class Geocoder {
public:
    // Placemarks in the server's order, or a readable error description.
    using Completion = std::function<void(std::vector<Placemark> placemarks, std::optional<std::string> error)>;

    Geocoder();
    ~Geocoder();
    Geocoder(const Geocoder&) = delete;
    Geocoder& operator=(const Geocoder&) = delete;

    void geocodeAddressString(const std::string& address, Completion completion);
    void reverseGeocodeLocation(double latitude, double longitude, Completion completion);
    // Cancels the HTTP request; its completion never runs.
    void cancelGeocode();

private:
    struct Lookup;
    void begin(const std::string& url, bool reverse, Completion completion);

    std::shared_ptr<Lookup> lookup_;
};

}  // namespace quendal::services
