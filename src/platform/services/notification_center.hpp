// Local notifications through the desktop's notification server
// (org.freedesktop.Notifications on the session bus), shaped like a
// notification centre: settings with an authorization status, an authorization
// request, adding time-interval notifications, listing pending ones, removing
// pending and delivered ones.
//
// Scheduled notifications live in this process and end with it: a timer on the
// default main context sends each one with Notify when it is due. Delivered ones
// are remembered by their server id so that removing them can close them.
//
// Threads: main thread only, for every call. Handlers run later on the default
// main context (a D-Bus reply or an idle callback), never inside the call that
// asked for them, so a caller may take its own locks around a call.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/services/notification_schedule.hpp"

namespace quendal::services {

// Numbered as the module reads them.
enum class NotificationAuthorization : int {
    NotDetermined = 0,
    Denied = 1,
    Authorized = 2,
    Provisional = 3,
    Ephemeral = 4,
};

struct PendingNotification {
    NotificationRequest request;
    double nextFireDate = 0;  // seconds since 1970-01-01 00:00 UTC
};

// How long a notification server may take to answer before the bus is taken
// to have none.
inline constexpr int kNotificationServerTimeoutMs = 3000;

class NotificationCenter {
public:
    using SettingsHandler = std::function<void(NotificationAuthorization)>;
    // granted, and a readable description when no server answered.
    using AuthorizationHandler = std::function<void(bool, std::optional<std::string>)>;
    using AddHandler = std::function<void(std::optional<std::string>)>;
    using PendingHandler = std::function<void(std::vector<PendingNotification>)>;

    // The process's one centre; it lives as long as the process.
    static NotificationCenter& current();

    // "Not determined" until this process has asked for authorization, then
    // authorized for as long as the process lives.
    void getNotificationSettings(SettingsHandler handler);
    // Authorized when a notification server answers on the session bus.
    void requestAuthorization(AuthorizationHandler handler);
    // Schedules request; one with the same identifier is replaced.
    void add(NotificationRequest request, AddHandler handler);
    // In scheduling order, with each one's next fire date as the handler runs.
    void getPendingNotificationRequests(PendingHandler handler);
    void removePendingNotifications(const std::vector<std::string>& identifiers);
    // Closes the ones on screen, including one whose Notify is still in flight.
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers);

private:
    NotificationCenter() = default;
};

}  // namespace quendal::services
