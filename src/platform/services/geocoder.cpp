#include "platform/services/geocoder.hpp"

#include <cmath>
#include <cstdlib>

#include <glib.h>
#include <libsoup/soup.h>

namespace quendal::services {
namespace {

using Json = nlohmann::json;

constexpr const char* kDefaultServer = "https://nominatim.openstreetmap.org";
constexpr const char* kUserAgent = "quendal-py/0.1.0 (quendal Python runtime)";
// Bounds a server that accepts the connection and then says nothing.
constexpr unsigned kTimeoutSeconds = 30;

// One session for the process keeps connections to the server alive between
// lookups. Main thread only.
SoupSession* httpSession()
{
    static SoupSession* session = [] {
        SoupSession* made = soup_session_new();
        soup_session_set_user_agent(made, kUserAgent);
        soup_session_set_accept_language_auto(made, TRUE);
        soup_session_set_timeout(made, kTimeoutSeconds);
        return made;
    }();
    return session;
}

std::optional<std::string> nonEmptyString(const Json& object, const char* key)
{
    if (!object.is_object()) return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    std::string text = it->get<std::string>();
    if (text.empty()) return std::nullopt;
    return text;
}

// Nominatim sends coordinates as decimal strings.
std::optional<double> coordinate(const Json& object, const char* key)
{
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_number()) return it->get<double>();
    if (!it->is_string()) return std::nullopt;
    const std::string& text = it->get_ref<const std::string&>();
    char* end = nullptr;
    const double value = g_ascii_strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::string formatCoordinate(double value)
{
    char buffer[G_ASCII_DTOSTR_BUF_SIZE];
    return g_ascii_formatd(buffer, sizeof buffer, "%.8f", value);
}

std::string escape(const std::string& text)
{
    gchar* escaped = g_uri_escape_string(text.c_str(), nullptr, FALSE);
    std::string out = escaped;
    g_free(escaped);
    return out;
}

bool isHttpUrl(const std::string& url)
{
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri) return false;
    const char* scheme = g_uri_get_scheme(uri);
    const bool http = g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0;
    g_uri_unref(uri);
    return http;
}

// The body of an answer: a search array, or one reverse result (which has an
// "error" member instead when nothing is there).
std::optional<std::vector<Placemark>> placemarksFromBody(GBytes* body, bool reverse)
{
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(body, &size));
    const Json answer = Json::parse(data, data + size, nullptr, false);
    std::vector<Placemark> placemarks;
    if (reverse && answer.is_object()) {
        if (!answer.contains("error")) placemarks.push_back(placemarkFromNominatim(answer));
        return placemarks;
    }
    if (!answer.is_array()) return std::nullopt;
    for (const Json& result : answer) {
        if (result.is_object()) placemarks.push_back(placemarkFromNominatim(result));
    }
    return placemarks;
}

std::string httpFailure(SoupMessage* message, GBytes* body)
{
    const guint status = soup_message_get_status(message);
    const char* reason = soup_message_get_reason_phrase(message);
    std::string text = "The geocoding service answered HTTP " + std::to_string(status);
    if (reason && *reason) text += std::string(" (") + reason + ")";
    // Nominatim explains refused queries as {"error": {"message": ...}} or {"error": "..."}.
    if (body) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(body, &size));
        const Json answer = Json::parse(data, data + size, nullptr, false);
        if (answer.is_object() && answer.contains("error")) {
            const Json& error = answer["error"];
            auto message = error.is_string() ? std::optional<std::string>(error.get<std::string>())
                                             : nonEmptyString(error, "message");
            if (message && !message->empty()) text += ": " + *message;
        }
    }
    return text + ".";
}

}  // namespace

Placemark placemarkFromNominatim(const Json& result)
{
    Placemark placemark;
    placemark.latitude = coordinate(result, "lat");
    placemark.longitude = coordinate(result, "lon");
    placemark.name = nonEmptyString(result, "name");
    const Json empty = Json::object();
    const Json& address = result.contains("address") && result["address"].is_object() ? result["address"] : empty;
    placemark.street = nonEmptyString(address, "road");
    placemark.streetNumber = nonEmptyString(address, "house_number");
    placemark.city = nonEmptyString(address, "city");
    if (!placemark.city) placemark.city = nonEmptyString(address, "town");
    if (!placemark.city) placemark.city = nonEmptyString(address, "village");
    placemark.region = nonEmptyString(address, "state");
    placemark.country = nonEmptyString(address, "country");
    if (auto code = nonEmptyString(address, "country_code")) {
        for (char& c : *code) c = g_ascii_toupper(c);
        placemark.countryCode = std::move(code);
    }
    placemark.postalCode = nonEmptyString(address, "postcode");
    // Only servers asked for extra tags answer with one.
    if (result.contains("extratags")) placemark.timeZone = nonEmptyString(result["extratags"], "timezone");
    return placemark;
}

std::string geocoderBaseUrl()
{
    const char* configured = std::getenv("QUENDAL_GEOCODER_URL");
    std::string url = configured && *configured ? configured : kDefaultServer;
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

struct Geocoder::Lookup {
    GCancellable* cancellable = g_cancellable_new();
    SoupMessage* message = nullptr;
    bool reverse = false;
    Completion completion;

    ~Lookup()
    {
        if (message) g_object_unref(message);
        g_object_unref(cancellable);
    }

    void complete(std::vector<Placemark> placemarks, std::optional<std::string> error)
    {
        if (g_cancellable_is_cancelled(cancellable) || !completion) return;
        // Once only, and released before it runs, so that what it captured goes with it.
        Completion done = std::move(completion);
        completion = nullptr;
        done(std::move(placemarks), std::move(error));
    }
};

Geocoder::Geocoder() = default;

Geocoder::~Geocoder()
{
    cancelGeocode();
}

void Geocoder::geocodeAddressString(const std::string& address, Completion completion)
{
    begin(geocoderBaseUrl() + "/search?q=" + escape(address) + "&format=json&addressdetails=1", false,
          std::move(completion));
}

void Geocoder::reverseGeocodeLocation(double latitude, double longitude, Completion completion)
{
    begin(geocoderBaseUrl() + "/reverse?lat=" + formatCoordinate(latitude) + "&lon=" + formatCoordinate(longitude) +
              "&format=json",
          true, std::move(completion));
}

void Geocoder::cancelGeocode()
{
    if (!lookup_) return;
    g_cancellable_cancel(lookup_->cancellable);
    lookup_->completion = nullptr;
    lookup_.reset();
}

void Geocoder::begin(const std::string& url, bool reverse, Completion completion)
{
    cancelGeocode();
    auto lookup = std::make_shared<Lookup>();
    lookup->reverse = reverse;
    lookup->completion = std::move(completion);
    lookup_ = lookup;

    using Holder = std::shared_ptr<Lookup>;
    if (!isHttpUrl(url)) {
        // Reported from the main context like every other outcome.
        g_idle_add_full(
            G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<Holder*>(data))
                    ->complete({}, "The geocoding service address is not an http or https URL: " + geocoderBaseUrl());
                return G_SOURCE_REMOVE;
            },
            new Holder(lookup), [](gpointer data) { delete static_cast<Holder*>(data); });
        return;
    }

    lookup->message = soup_message_new(SOUP_METHOD_GET, url.c_str());
    soup_message_headers_replace(soup_message_get_request_headers(lookup->message), "Accept", "application/json");
    soup_session_send_and_read_async(
        httpSession(), lookup->message, G_PRIORITY_DEFAULT, lookup->cancellable,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Holder> holder(static_cast<Holder*>(data));
            Lookup& lookup = **holder;
            GError* error = nullptr;
            GBytes* body = soup_session_send_and_read_finish(SOUP_SESSION(source), result, &error);
            if (!body) {
                lookup.complete({}, std::string("The geocoding service could not be reached: ") + error->message);
                g_error_free(error);
                return;
            }
            if (!SOUP_STATUS_IS_SUCCESSFUL(soup_message_get_status(lookup.message))) {
                lookup.complete({}, httpFailure(lookup.message, body));
            } else if (auto placemarks = placemarksFromBody(body, lookup.reverse)) {
                lookup.complete(std::move(*placemarks), std::nullopt);
            } else {
                lookup.complete({}, std::string("The geocoding service sent an answer that is not Nominatim JSON."));
            }
            g_bytes_unref(body);
        },
        new Holder(lookup));
}

}  // namespace quendal::services
