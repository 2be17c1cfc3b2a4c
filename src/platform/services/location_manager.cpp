#include "platform/services/location_manager.hpp"

#include <cmath>
#include <unordered_map>
#include <vector>

#include "runtime/bundle.hpp"

namespace quendal::services {
namespace {

constexpr const char* kGeoClueName = "org.freedesktop.GeoClue2";
constexpr const char* kManagerPath = "/org/freedesktop/GeoClue2/Manager";
constexpr const char* kManagerInterface = "org.freedesktop.GeoClue2.Manager";
constexpr const char* kClientInterface = "org.freedesktop.GeoClue2.Client";
constexpr const char* kLocationInterface = "org.freedesktop.GeoClue2.Location";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
constexpr const char* kUnknownMethod = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr const char* kDefaultDesktopId = "quendal-py";

// Long enough for D-Bus activation of GeoClue on a desktop that has not run it yet.
constexpr int kCallTimeoutMs = 2500;
// Start waits for GeoClue's agent, which may be showing the user a prompt;
// GeoClue gives up on its agent after D-Bus's default 25 s and answers itself.
constexpr int kStartTimeoutMs = 30000;

// Only the main thread touches it.
std::unordered_map<std::string, AuthorizationStatus>& authorizations()
{
    static std::unordered_map<std::string, AuthorizationStatus> answers;
    return answers;
}

bool isRemoteError(const GError* error, const char* name)
{
    if (!g_dbus_error_is_remote_error(error)) return false;
    gchar* remote = g_dbus_error_get_remote_error(error);
    const bool same = g_strcmp0(remote, name) == 0;
    g_free(remote);
    return same;
}

// A readable description of a failed GeoClue call.
std::string describe(const GError* error)
{
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
        return "The location service (GeoClue) did not answer in time.";
    }
    GError* copy = g_error_copy(error);
    g_dbus_error_strip_remote_error(copy);
    std::string text = copy->message;
    g_error_free(copy);
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
        return "The location service (GeoClue) is not running: " + text;
    }
    return "The location service (GeoClue) failed: " + text;
}

// GIO's shared bus connection closes when its last reference goes, dropping
// messages not yet written (the Stop and DeleteClient of an ending session).
// Holding one reference for the process keeps it open.
void retainSystemBus(GDBusConnection* bus)
{
    static GDBusConnection* retained = nullptr;
    if (retained == bus) return;
    if (retained) g_object_unref(retained);
    retained = G_DBUS_CONNECTION(g_object_ref(bus));
}

guint32 distanceThreshold(double metres)
{
    if (!(metres > 0)) return 0;
    return metres >= 4294967295.0 ? 4294967295u : static_cast<guint32>(std::ceil(metres));
}

}  // namespace

AccuracyLevel accuracyLevelForMetres(double metres)
{
    if (metres <= 100) return AccuracyLevel::Exact;
    if (metres <= 1000) return AccuracyLevel::Street;
    if (metres <= 25000) return AccuracyLevel::City;
    return AccuracyLevel::Country;
}

LocationFix locationFixFromProperties(GVariant* properties)
{
    LocationFix fix;
    double accuracy = -1, altitude = -G_MAXDOUBLE, speed = -1, heading = -1;
    g_variant_lookup(properties, "Latitude", "d", &fix.latitude);
    g_variant_lookup(properties, "Longitude", "d", &fix.longitude);
    g_variant_lookup(properties, "Accuracy", "d", &accuracy);
    g_variant_lookup(properties, "Altitude", "d", &altitude);
    g_variant_lookup(properties, "Speed", "d", &speed);
    g_variant_lookup(properties, "Heading", "d", &heading);
    fix.horizontalAccuracy = std::isfinite(accuracy) ? accuracy : -1;
    // GeoClue has no vertical accuracy of its own: a known altitude carries the
    // fix's accuracy, and an unknown one (-G_MAXDOUBLE) leaves both empty.
    if (std::isfinite(altitude) && altitude != -G_MAXDOUBLE && fix.horizontalAccuracy >= 0) {
        fix.altitude = altitude;
        fix.verticalAccuracy = fix.horizontalAccuracy;
    }
    // GeoClue's -1 means unknown.
    if (std::isfinite(speed) && speed >= 0) fix.speed = speed;
    if (std::isfinite(heading) && heading >= 0) fix.course = heading;
    guint64 seconds = 0, microseconds = 0;
    if (g_variant_lookup(properties, "Timestamp", "(tt)", &seconds, &microseconds)) {
        fix.timestamp = static_cast<double>(seconds) + static_cast<double>(microseconds) / 1e6;
    } else {
        fix.timestamp = static_cast<double>(g_get_real_time()) / 1e6;
    }
    return fix;
}

LocationServicesState locationServicesState()
{
    LocationServicesState state;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (!bus) return state;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, kGeoClueName, kManagerPath, kPropertiesInterface, "Get",
        g_variant_new("(ss)", kManagerInterface, "AvailableAccuracyLevel"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr);
    if (reply) {
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) {
            const guint32 level = g_variant_get_uint32(value);
            state.enabled = level > static_cast<guint32>(AccuracyLevel::None);
            state.fullAccuracy = level >= static_cast<guint32>(AccuracyLevel::Exact);
        }
        g_variant_unref(value);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return state;
}

std::string locationDesktopId()
{
    auto identifier = bundleInfoString("CFBundleIdentifier");
    return identifier && !identifier->empty() ? *identifier : kDefaultDesktopId;
}

// One GeoClue client and every call in flight for it. Callbacks hold it weakly,
// so ending the session (dropping the manager's reference and cancelling) makes
// every late reply a no-op. Each step below runs on the main context and hands
// the next one to GeoClue: connect, CreateClient, set properties, Start.
struct LocationManager::Session {
    std::weak_ptr<LocationManager> owner;
    std::weak_ptr<Session> weakSelf;
    GDBusConnection* bus = nullptr;
    GCancellable* cancellable = g_cancellable_new();
    std::string clientPath;
    bool deletable = false;  // made by CreateClient, so DeleteClient frees it
    bool started = false;
    int settingsLeft = 0;
    std::vector<guint> subscriptions;

    ~Session()
    {
        g_cancellable_cancel(cancellable);
        if (bus) {
            for (guint id : subscriptions) g_dbus_connection_signal_unsubscribe(bus, id);
            g_object_unref(bus);
        }
        g_object_unref(cancellable);
    }

    using Reply = void (Session::*)(GVariant* reply, GError* error);
    using Signal = void (Session::*)(GVariant* parameters);

    // An asynchronous call whose reply reaches the step only while the session
    // lives and was not cancelled; reply and error are freed after it returns.
    void call(const char* path, const char* interface, const char* method, GVariant* parameters,
              const GVariantType* replyType, int timeoutMs, Reply step)
    {
        struct Pending {
            std::weak_ptr<Session> session;
            Reply step;
        };
        g_dbus_connection_call(
            bus, kGeoClueName, path, interface, method, parameters, replyType, G_DBUS_CALL_FLAGS_NONE, timeoutMs,
            cancellable,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
                GError* error = nullptr;
                GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
                auto session = pending->session.lock();
                if (session && !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
                    ((*session).*(pending->step))(reply, error);
                }
                if (reply) g_variant_unref(reply);
                if (error) g_error_free(error);
            },
            new Pending{weakSelf, step});
    }

    // Fire and forget: the service does the work whether or not anyone listens.
    void send(const char* path, const char* interface, const char* method, GVariant* parameters)
    {
        g_dbus_connection_call(bus, kGeoClueName, path, interface, method, parameters, nullptr,
                               G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs, nullptr, nullptr, nullptr);
    }

    void subscribe(const char* sender, const char* interface, const char* member, const char* path,
                   const char* arg0, Signal step)
    {
        struct Watch {
            std::weak_ptr<Session> session;
            Signal step;
        };
        subscriptions.push_back(g_dbus_connection_signal_subscribe(
            bus, sender, interface, member, path, arg0, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
               gpointer data) {
                auto* watch = static_cast<Watch*>(data);
                if (auto session = watch->session.lock()) ((*session).*(watch->step))(parameters);
            },
            new Watch{weakSelf, step}, [](gpointer data) { delete static_cast<Watch*>(data); }));
    }

    // Everything, the bus connection included, is asynchronous, so that the
    // delegate hears of every outcome from the main context, never from inside
    // the call that asked.
    void connect()
    {
        struct Connecting {
            std::weak_ptr<Session> session;
        };
        g_bus_get(
            G_BUS_TYPE_SYSTEM, cancellable,
            [](GObject*, GAsyncResult* result, gpointer data) {
                std::unique_ptr<Connecting> connecting(static_cast<Connecting*>(data));
                GError* error = nullptr;
                GDBusConnection* bus = g_bus_get_finish(result, &error);
                auto session = connecting->session.lock();
                if (session && !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
                    session->connected(bus, error);
                } else if (bus) {
                    g_object_unref(bus);
                }
                if (error) g_error_free(error);
            },
            new Connecting{weakSelf});
    }

    void connected(GDBusConnection* connection, GError* error)
    {
        if (!connection) return fail(error, false);
        bus = connection;
        retainSystemBus(bus);
        // GeoClue leaving the bus ends the session at once rather than leaving
        // a watch that silently never hears again.
        subscribe("org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus",
                  kGeoClueName, &Session::ownerChanged);
        // CreateClient (GeoClue 2.5 and later) gives every manager a client of
        // its own; older services only have the one client per connection.
        call(kManagerPath, kManagerInterface, "CreateClient", nullptr, G_VARIANT_TYPE("(o)"), kCallTimeoutMs,
             &Session::clientCreated);
    }

    void clientCreated(GVariant* reply, GError* error)
    {
        if (!reply && isRemoteError(error, kUnknownMethod)) {
            call(kManagerPath, kManagerInterface, "GetClient", nullptr, G_VARIANT_TYPE("(o)"), kCallTimeoutMs,
                 &Session::clientFound);
            return;
        }
        deletable = reply != nullptr;
        clientFound(reply, error);
    }

    void clientFound(GVariant* reply, GError* error)
    {
        auto manager = owner.lock();
        if (!manager) return;
        if (!reply) return fail(error, false);
        const gchar* path = nullptr;
        g_variant_get(reply, "(&o)", &path);
        clientPath = path;
        subscribe(kGeoClueName, kClientInterface, "LocationUpdated", path, nullptr, &Session::locationUpdated);
        // GeoClue stops a started client by itself when the user withdraws the
        // application's access (or turns location services off).
        subscribe(kGeoClueName, kPropertiesInterface, "PropertiesChanged", path, kClientInterface,
                  &Session::clientChanged);

        const double desired = manager->desiredAccuracy_;
        const auto level = desired < 0 ? AccuracyLevel::Exact : accuracyLevelForMetres(desired);
        GVariant* settings[] = {
            g_variant_new("(ssv)", kClientInterface, "DesktopId", g_variant_new_string(manager->desktopId_.c_str())),
            g_variant_new("(ssv)", kClientInterface, "RequestedAccuracyLevel",
                          g_variant_new_uint32(static_cast<guint32>(level))),
            g_variant_new("(ssv)", kClientInterface, "DistanceThreshold",
                          g_variant_new_uint32(distanceThreshold(manager->distanceFilter_))),
        };
        settingsLeft = static_cast<int>(std::size(settings));
        for (GVariant* setting : settings) {
            call(path, kPropertiesInterface, "Set", setting, nullptr, kCallTimeoutMs, &Session::propertySet);
        }
    }

    // Start once every property is in place; the first refusal fails the session.
    void propertySet(GVariant* reply, GError* error)
    {
        if (settingsLeft <= 0) return;
        if (!reply) {
            settingsLeft = 0;
            return fail(error, false);
        }
        if (--settingsLeft > 0) return;
        call(clientPath.c_str(), kClientInterface, "Start", nullptr, nullptr, kStartTimeoutMs,
             &Session::clientStarted);
    }

    void clientStarted(GVariant* reply, GError* error)
    {
        auto manager = owner.lock();
        if (!manager) return;
        if (!reply) return manager->sessionFailed(error, true);
        started = true;
        manager->sessionStarted();
    }

    void locationUpdated(GVariant* parameters)
    {
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(oo)"))) return;
        const gchar* location = nullptr;
        g_variant_get(parameters, "(&o&o)", nullptr, &location);
        call(location, kPropertiesInterface, "GetAll", g_variant_new("(s)", kLocationInterface),
             G_VARIANT_TYPE("(a{sv})"), kCallTimeoutMs, &Session::locationRead);
    }

    void locationRead(GVariant* reply, GError* error)
    {
        auto manager = owner.lock();
        if (!manager) return;
        if (!reply) {
            // GeoClue drops a location object once two newer ones exist; the
            // newest follows, so this one is merely unknown.
            if (auto delegate = manager->delegate_.lock()) {
                delegate->locationManagerDidFailWithError(
                    *manager, LocationError{LocationError::LocationUnknown, describe(error)});
            }
            return;
        }
        GVariant* properties = g_variant_get_child_value(reply, 0);
        const LocationFix fix = locationFixFromProperties(properties);
        g_variant_unref(properties);
        manager->deliver(fix);
    }

    void clientChanged(GVariant* parameters)
    {
        if (!started || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return;
        GVariant* changed = g_variant_get_child_value(parameters, 1);
        gboolean active = TRUE;
        const bool stopped = g_variant_lookup(changed, "Active", "b", &active) && !active;
        g_variant_unref(changed);
        if (!stopped) return;
        if (auto manager = owner.lock()) manager->sessionRevoked();
    }

    void ownerChanged(GVariant* parameters)
    {
        const gchar* newOwner = nullptr;
        g_variant_get(parameters, "(&s&s&s)", nullptr, nullptr, &newOwner);
        if (newOwner && *newOwner) return;
        if (auto manager = owner.lock()) manager->sessionVanished();
    }

    void fail(GError* error, bool duringStart)
    {
        if (auto manager = owner.lock()) manager->sessionFailed(error, duringStart);
    }
};

std::shared_ptr<LocationManager> LocationManager::create()
{
    return std::shared_ptr<LocationManager>(new LocationManager());
}

LocationManager::LocationManager() : desktopId_(locationDesktopId()) {}

LocationManager::~LocationManager()
{
    endSession();
}

AuthorizationStatus LocationManager::authorizationStatus() const
{
    auto& answers = authorizations();
    auto it = answers.find(desktopId_);
    return it == answers.end() ? AuthorizationStatus::NotDetermined : it->second;
}

void LocationManager::requestWhenInUseAuthorization()
{
    if (!session_) beginSession();
}

void LocationManager::startUpdatingLocation()
{
    updating_ = true;
    if (!session_) beginSession();
}

void LocationManager::stopUpdatingLocation()
{
    updating_ = false;
    endSession();
}

void LocationManager::beginSession()
{
    session_ = std::make_shared<Session>();
    session_->owner = weak_from_this();
    session_->weakSelf = session_;
    session_->connect();
}

void LocationManager::endSession()
{
    auto session = std::move(session_);
    if (!session) return;
    if (session->bus && !session->clientPath.empty()) {
        session->send(session->clientPath.c_str(), kClientInterface, "Stop", nullptr);
        if (session->deletable) {
            session->send(kManagerPath, kManagerInterface, "DeleteClient",
                          g_variant_new("(o)", session->clientPath.c_str()));
        }
    }
    // Callbacks still in flight hold the session weakly: they find it gone.
}

void LocationManager::sessionStarted()
{
    auto self = shared_from_this();
    authorizations()[desktopId_] = AuthorizationStatus::AuthorizedAlways;
    if (auto delegate = delegate_.lock()) delegate->locationManagerDidChangeAuthorization(*this);
    // Asked only for the answer: let GeoClue stop locating for us.
    if (!updating_) endSession();
}

void LocationManager::sessionFailed(GError* error, bool duringStart)
{
    auto self = shared_from_this();
    const std::string description = describe(error);
    endSession();
    auto delegate = delegate_.lock();
    if (duringStart && isRemoteError(error, kAccessDenied)) {
        auto& status = authorizations()[desktopId_];
        const bool changed = status != AuthorizationStatus::Denied;
        status = AuthorizationStatus::Denied;
        if (changed && delegate) delegate->locationManagerDidChangeAuthorization(*this);
        if (delegate) delegate->locationManagerDidFailWithError(*this, LocationError{LocationError::Denied, description});
        return;
    }
    if (delegate) delegate->locationManagerDidFailWithError(*this, LocationError{LocationError::Other, description});
}

void LocationManager::sessionVanished()
{
    auto self = shared_from_this();
    if (!session_) return;
    // The client went with the service: nothing to stop.
    session_->clientPath.clear();
    endSession();
    if (auto delegate = delegate_.lock()) {
        delegate->locationManagerDidFailWithError(
            *this, LocationError{LocationError::Other, "The location service (GeoClue) stopped running."});
    }
}

void LocationManager::sessionRevoked()
{
    auto self = shared_from_this();
    if (!session_) return;
    endSession();
    if (auto delegate = delegate_.lock()) {
        delegate->locationManagerDidFailWithError(
            *this, LocationError{LocationError::Denied, "GeoClue stopped locating for this application."});
    }
}

void LocationManager::deliver(const LocationFix& fix)
{
    auto self = shared_from_this();
    if (!updating_) return;
    if (auto delegate = delegate_.lock()) delegate->locationManagerDidUpdateLocations(*this, {fix});
}

}  // namespace quendal::services
