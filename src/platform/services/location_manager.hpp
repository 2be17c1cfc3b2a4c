// A location manager in the shape of CoreLocation's, over GeoClue2 on the system
// D-Bus bus.
//
// Each manager owns at most one GeoClue client, made when the manager first asks
// for authorization or for positions. Starting that client is GeoClue's
// permission check (its agent may prompt the user), so the answer to Start is
// the authorization: accepted is "authorized", an access-denied error is
// "denied", and until it answers the status stays "not determined". The answer
// is remembered per desktop id for the life of the process, because GeoClue
// authorizes applications by their desktop id.
//
// Main thread only: every call, and every delegate callback, which arrives on
// the default main context. No call blocks beyond one bounded D-Bus timeout, and
// an absent or silent GeoClue ends in a delegate error, never in a hang.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gio/gio.h>

namespace quendal::services {

// CoreLocation's numbering.
enum class AuthorizationStatus : int {
    NotDetermined = 0,
    Restricted = 1,
    Denied = 2,
    AuthorizedAlways = 3,
    AuthorizedWhenInUse = 4,
};

// GeoClue's accuracy levels.
enum class AccuracyLevel : unsigned {
    None = 0,
    Country = 1,
    City = 4,
    Neighborhood = 5,
    Street = 6,
    Exact = 8,
};

// Desired accuracy in metres to the level asked of GeoClue: exact up to 100 m,
// street up to 1 km, city up to 25 km, country beyond.
AccuracyLevel accuracyLevelForMetres(double metres);

struct LocationFix {
    double latitude = 0;
    double longitude = 0;
    double horizontalAccuracy = 0;          // metres
    std::optional<double> altitude;         // metres; empty exactly when verticalAccuracy is
    std::optional<double> verticalAccuracy; // metres
    std::optional<double> speed;            // metres per second
    std::optional<double> course;           // degrees
    double timestamp = 0;                   // seconds since the Unix epoch
};

// Reads a fix from the a{sv} properties of an org.freedesktop.GeoClue2.Location.
LocationFix locationFixFromProperties(GVariant* properties);

// CoreLocation's error codes that callers tell apart; everything else is Other.
struct LocationError {
    enum Code : int { LocationUnknown = 0, Denied = 1, Other = 2 };
    Code code = Other;
    std::string description;
};

class LocationManager;

class LocationManagerDelegate {
public:
    virtual ~LocationManagerDelegate() = default;
    virtual void locationManagerDidChangeAuthorization(LocationManager& manager) = 0;
    // A batch of fixes, oldest first.
    virtual void locationManagerDidUpdateLocations(LocationManager& manager,
                                                   const std::vector<LocationFix>& locations) = 0;
    virtual void locationManagerDidFailWithError(LocationManager& manager, const LocationError& error) = 0;
};

struct LocationServicesState {
    bool enabled = false;       // the manager answers and offers more than no accuracy
    bool fullAccuracy = false;  // it offers exact positions
};

// Asks GeoClue's manager synchronously, bounded by one D-Bus timeout.
LocationServicesState locationServicesState();

// The desktop id that GeoClue authorizes: the bundle's CFBundleIdentifier, else
// the project's own.
std::string locationDesktopId();

class LocationManager : public std::enable_shared_from_this<LocationManager> {
public:
    static constexpr double kDesiredAccuracyBest = -1;

    static std::shared_ptr<LocationManager> create();
    ~LocationManager();

    LocationManager(const LocationManager&) = delete;
    LocationManager& operator=(const LocationManager&) = delete;

    // The remembered answer for this manager's desktop id.
    AuthorizationStatus authorizationStatus() const;

    // Both take effect when the client is made, so set them before asking.
    void setDesiredAccuracy(double metres) { desiredAccuracy_ = metres; }
    void setDistanceFilter(double metres) { distanceFilter_ = metres; }
    // The manager holds its delegate weakly.
    void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) { delegate_ = std::move(delegate); }

    // Starts the client so that GeoClue decides; the answer comes as an
    // authorization change. The client is stopped again afterwards unless
    // updates were started meanwhile.
    void requestWhenInUseAuthorization();
    void startUpdatingLocation();
    // Stops and deletes the client and drops every call still in flight.
    void stopUpdatingLocation();

private:
    LocationManager();
    struct Session;

    void beginSession();
    void endSession();
    void sessionStarted();
    void sessionFailed(GError* error, bool duringStart);
    void sessionVanished();
    void sessionRevoked();
    void deliver(const LocationFix& fix);

    std::string desktopId_;
    double desiredAccuracy_ = kDesiredAccuracyBest;
    double distanceFilter_ = 0;
    std::weak_ptr<LocationManagerDelegate> delegate_;
    bool updating_ = false;
    std::shared_ptr<Session> session_;
};

}  // namespace quendal::services
