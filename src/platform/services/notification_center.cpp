#include "platform/services/notification_center.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>

#include <gio/gio.h>

#include "runtime/bundle.hpp"

namespace quendal::services {
namespace {

constexpr const char* kServerName = "org.freedesktop.Notifications";
constexpr const char* kServerPath = "/org/freedesktop/Notifications";
constexpr const char* kServerInterface = "org.freedesktop.Notifications";
// The freedesktop sound theme's name for a new message.
constexpr const char* kDefaultSoundName = "message-new-instant";
// GLib timeouts count milliseconds in a guint; far-off fires re-arm on the way.
constexpr int64_t kLongestTimerUs = int64_t(3600) * 1000000;

using BusHandler = std::function<void(GDBusConnection*, const std::string& error)>;

// Notify calls sent but not yet answered for one identifier. Removing delivered
// notifications bumps the epoch, so a reply that arrives afterwards closes what
// it created instead of leaving it on screen.
struct Flight {
    int count = 0;
    uint64_t epoch = 0;
};

struct CenterState {
    NotificationAuthorization status = NotificationAuthorization::NotDetermined;
    bool bodyMarkup = false;  // the server reads bodies as markup
    NotificationSchedule schedule;
    GSource* timer = nullptr;
    std::map<std::string, uint32_t> delivered;  // identifier -> server id
    std::map<std::string, Flight> flights;

    GDBusConnection* bus = nullptr;
    guint closedSubscription = 0;
    bool connecting = false;
    std::vector<BusHandler> busWaiters;
};

CenterState& state()
{
    // Never destroyed: timers and D-Bus replies may still refer to it at exit.
    static auto* center = new CenterState;
    return *center;
}

// D-Bus strings are UTF-8 without NUL bytes; GVariant refuses anything else.
std::string dbusText(const std::string& text)
{
    std::string clean;
    clean.reserve(text.size());
    std::copy_if(text.begin(), text.end(), std::back_inserter(clean), [](char c) { return c != '\0'; });
    gchar* valid = g_utf8_make_valid(clean.data(), static_cast<gssize>(clean.size()));
    std::string out(valid);
    g_free(valid);
    return out;
}

std::string errorText(const GError* error)
{
    if (!error) return "unknown error";
    // "GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: ..." reads better without its prefix.
    GError* copy = g_error_copy(error);
    g_dbus_error_strip_remote_error(copy);
    std::string text = copy->message;
    g_error_free(copy);
    return text;
}

// Runs fn on the default main context at its next turn.
void later(std::function<void()> fn)
{
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(fn)),
        [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

void onNotificationClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                          GVariant* parameters, gpointer)
{
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) return;
    guint32 id = 0, reason = 0;
    g_variant_get(parameters, "(uu)", &id, &reason);
    auto& delivered = state().delivered;
    for (auto it = delivered.begin(); it != delivered.end();) {
        it = it->second == id ? delivered.erase(it) : std::next(it);
    }
}

void forgetBus()
{
    CenterState& center = state();
    if (!center.bus) return;
    if (center.closedSubscription) g_dbus_connection_signal_unsubscribe(center.bus, center.closedSubscription);
    center.closedSubscription = 0;
    g_object_unref(center.bus);
    center.bus = nullptr;
    // Server ids belong to the server that handed them out.
    center.delivered.clear();
}

void onBus(GObject*, GAsyncResult* result, gpointer)
{
    CenterState& center = state();
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    center.connecting = false;
    std::string message;
    if (bus) {
        // The session bus going away must not end the host's process.
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        center.bus = bus;
        center.closedSubscription = g_dbus_connection_signal_subscribe(
            bus, kServerName, kServerInterface, "NotificationClosed", kServerPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            onNotificationClosed, nullptr, nullptr);
    } else {
        message = "No session bus: " + errorText(error);
        g_clear_error(&error);
    }
    auto waiters = std::move(center.busWaiters);
    center.busWaiters.clear();
    for (auto& waiter : waiters) waiter(center.bus, message);
}

// Hands fn the session bus, connecting first when needed; fn gets null and a
// reason when there is none.
void withBus(BusHandler fn)
{
    CenterState& center = state();
    if (center.bus && g_dbus_connection_is_closed(center.bus)) forgetBus();
    if (center.bus) {
        fn(center.bus, {});
        return;
    }
    center.busWaiters.push_back(std::move(fn));
    if (center.connecting) return;
    center.connecting = true;
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, onBus, nullptr);
}

using ReplyHandler = std::function<void(GVariant* reply, const GError* error)>;

void callServer(GDBusConnection* bus, const char* method, GVariant* parameters, const GVariantType* replyType,
                ReplyHandler handler)
{
    g_dbus_connection_call(
        bus, kServerName, kServerPath, kServerInterface, method, parameters, replyType, G_DBUS_CALL_FLAGS_NONE,
        kNotificationServerTimeoutMs, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<ReplyHandler> handler(static_cast<ReplyHandler*>(data));
            GError* error = nullptr;
            GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
            (*handler)(reply, error);
            if (reply) g_variant_unref(reply);
            g_clear_error(&error);
        },
        new ReplyHandler(std::move(handler)));
}

void closeOnServer(uint32_t id)
{
    withBus([id](GDBusConnection* bus, const std::string&) {
        if (!bus) return;
        callServer(bus, "CloseNotification", g_variant_new("(u)", id), nullptr, [](GVariant*, const GError*) {});
    });
}

GVariant* notifyParameters(const NotificationRequest& request, uint32_t replaces)
{
    CenterState& center = state();
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    if (request.content.sound) {
        g_variant_builder_add(&hints, "{sv}", "sound-name", g_variant_new_string(kDefaultSoundName));
    } else {
        g_variant_builder_add(&hints, "{sv}", "suppress-sound", g_variant_new_boolean(TRUE));
    }
    std::string body = dbusText(request.content.body);
    if (center.bodyMarkup) {
        // Servers with body markup would read "<" and "&" of plain text as tags and entities.
        gchar* escaped = g_markup_escape_text(body.c_str(), -1);
        body = escaped;
        g_free(escaped);
    }
    const std::string appName = dbusText(mainBundle().name);
    const std::string summary = dbusText(request.content.title);
    return g_variant_new("(susssasa{sv}i)", appName.c_str(), replaces, "", summary.c_str(), body.c_str(), nullptr,
                         &hints, -1);
}

void deliver(const NotificationRequest& request)
{
    CenterState& center = state();
    Flight& flight = center.flights[request.identifier];
    ++flight.count;
    const uint64_t epoch = flight.epoch;
    withBus([request, epoch](GDBusConnection* bus, const std::string&) {
        auto land = [identifier = request.identifier, epoch](std::optional<uint32_t> id) {
            CenterState& center = state();
            auto flight = center.flights.find(identifier);
            const bool cancelled = flight == center.flights.end() || flight->second.epoch != epoch;
            if (flight != center.flights.end() && --flight->second.count == 0) center.flights.erase(flight);
            if (!id) return;
            if (cancelled) {
                closeOnServer(*id);
            } else {
                center.delivered[identifier] = *id;
            }
        };
        // A server that has gone since authorization: the notification is simply not shown.
        if (!bus) return land(std::nullopt);
        auto replaces = state().delivered.find(request.identifier);
        const uint32_t replacesId = replaces == state().delivered.end() ? 0 : replaces->second;
        callServer(bus, "Notify", notifyParameters(request, replacesId), G_VARIANT_TYPE("(u)"),
                   [land](GVariant* reply, const GError*) {
                       if (!reply) return land(std::nullopt);
                       guint32 id = 0;
                       g_variant_get(reply, "(u)", &id);
                       land(id);
                   });
    });
}

// From the reply to GetCapabilities.
bool readsMarkup(GVariant* capabilities)
{
    GVariantIter* iter = nullptr;
    g_variant_get(capabilities, "(as)", &iter);
    const char* capability = nullptr;
    bool markup = false;
    while (g_variant_iter_next(iter, "&s", &capability)) markup = markup || g_strcmp0(capability, "body-markup") == 0;
    g_variant_iter_free(iter);
    return markup;
}

void armTimer();

gboolean onTimer(gpointer)
{
    CenterState& center = state();
    // This source is finished either way; armTimer makes the next one.
    g_source_unref(center.timer);
    center.timer = nullptr;
    for (const NotificationRequest& request : center.schedule.takeDue(g_get_monotonic_time())) deliver(request);
    armTimer();
    return G_SOURCE_REMOVE;
}

// One timer for the whole schedule, set for its earliest entry.
void armTimer()
{
    CenterState& center = state();
    if (center.timer) {
        g_source_destroy(center.timer);
        g_source_unref(center.timer);
        center.timer = nullptr;
    }
    const auto due = center.schedule.nextDue();
    if (!due) return;
    const int64_t waitUs = std::clamp<int64_t>(*due - g_get_monotonic_time(), 0, kLongestTimerUs);
    // Rounded up: a timer that fires early finds nothing due and re-arms.
    center.timer = g_timeout_source_new(static_cast<guint>((waitUs + 999) / 1000));
    g_source_set_callback(center.timer, onTimer, nullptr, nullptr);
    g_source_attach(center.timer, g_main_context_default());
}

}  // namespace

NotificationCenter& NotificationCenter::current()
{
    static NotificationCenter center;
    return center;
}

void NotificationCenter::getNotificationSettings(SettingsHandler handler)
{
    later([handler = std::move(handler)] { handler(state().status); });
}

void NotificationCenter::requestAuthorization(AuthorizationHandler handler)
{
    withBus([handler = std::move(handler)](GDBusConnection* bus, const std::string& error) {
        if (!bus) return handler(false, error);
        // The capabilities answer two questions at once: a server is there, and
        // whether it reads bodies as markup.
        callServer(bus, "GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"),
                   [handler](GVariant* reply, const GError* error) {
                       if (!reply) {
                           return handler(false, "No notification server answers on the session bus: " +
                                                     errorText(error));
                       }
                       state().bodyMarkup = readsMarkup(reply);
                       state().status = NotificationAuthorization::Authorized;
                       handler(true, std::nullopt);
                   });
    });
}

void NotificationCenter::add(NotificationRequest request, AddHandler handler)
{
    state().schedule.add(std::move(request), g_get_monotonic_time());
    armTimer();
    later([handler = std::move(handler)] { handler(std::nullopt); });
}

void NotificationCenter::getPendingNotificationRequests(PendingHandler handler)
{
    later([handler = std::move(handler)] {
        // The wall clock at which each timer will fire, read as the answer is made.
        const int64_t monotonicNow = g_get_monotonic_time();
        const int64_t wallNow = g_get_real_time();
        std::vector<PendingNotification> pending;
        for (const auto& entry : state().schedule.entries()) {
            pending.push_back({entry.request, static_cast<double>(wallNow + (entry.dueUs - monotonicNow)) / 1e6});
        }
        handler(std::move(pending));
    });
}

void NotificationCenter::removePendingNotifications(const std::vector<std::string>& identifiers)
{
    bool removed = false;
    for (const auto& identifier : identifiers) removed = state().schedule.remove(identifier) || removed;
    if (removed) armTimer();
}

void NotificationCenter::removeDeliveredNotifications(const std::vector<std::string>& identifiers)
{
    CenterState& center = state();
    for (const auto& identifier : identifiers) {
        if (auto flight = center.flights.find(identifier); flight != center.flights.end()) ++flight->second.epoch;
        if (auto shown = center.delivered.find(identifier); shown != center.delivered.end()) {
            closeOnServer(shown->second);
            center.delivered.erase(shown);
        }
    }
}

}  // namespace quendal::services
