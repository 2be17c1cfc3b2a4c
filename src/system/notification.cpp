// Local notifications: permission, scheduling, listing and cancelling, all
// answered by the notification centre on the main context.
#include "system/notification.hpp"

#include <memory>
#include <utility>

#include "platform/services/notification_center.hpp"
#include "runtime/bundle.hpp"
#include "system/dispatch.hpp"

namespace quendal::system {
namespace {

using services::NotificationAuthorization;
using services::NotificationCenter;

constexpr std::string_view kPrefix = "quendal-py:";
constexpr size_t kMaxIdentifierLength = 128;  // UTF-16 code units
constexpr double kMaxDelay = 31536000;       // 365 days
constexpr double kMinRepeatingDelay = 60;
constexpr double kMinDelay = 0.1;

constexpr const char* kUnavailableMessage =
    "Local notifications require an app bundle. On macOS, use the quendal-py launcher.";
constexpr const char* kInvalidScheduleMessage =
    "A notification requires a valid identifier, text, and delay (at least 60 seconds when repeating).";
constexpr const char* kNoPermissionMessage = "Request notification permission before scheduling.";

using NotificationRef = std::shared_ptr<QuendalPyNotificationRequest>;

// The main bundle is read once, so the answer holds for the whole process.
bool notificationsAvailable()
{
    return mainBundle().isApplication();
}

const char* permissionName(NotificationAuthorization status)
{
    switch (status) {
    case NotificationAuthorization::Denied: return "denied";
    case NotificationAuthorization::Authorized: return "authorized";
    case NotificationAuthorization::Provisional: return "provisional";
    default: return "not_determined";
    }
}

// The length as the platform counts it: characters outside the basic plane
// take two UTF-16 code units. The payload's strings are valid UTF-8.
size_t utf16Length(const std::string& text)
{
    size_t units = 0;
    for (const unsigned char byte : text) {
        if ((byte & 0xC0) == 0x80) continue;  // continuation byte
        units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

void finishWithPermission(const NotificationRef& request)
{
    NotificationCenter::current().getNotificationSettings(
        [request](NotificationAuthorization status) { request->finish(permissionName(status)); });
}

RequestRef QuendalPyRequestPermission(NotificationRef request)
{
    NotificationCenter::current().requestAuthorization([request](bool, std::optional<std::string> error) {
        if (error) return request->fail("os", std::move(error));
        finishWithPermission(request);
    });
    return request;
}

RequestRef QuendalPySchedule(NotificationRef request, const Json& payload)
{
    // Read before the checks: it decides the shortest delay.
    const bool repeats = QuendalPyTruth(payload, "repeat");
    const bool identifierValid =
        QuendalPyString(payload, "identifier", false) &&
        utf16Length(payload["identifier"].get_ref<const std::string&>()) <= kMaxIdentifierLength;
    if (!identifierValid || !QuendalPyString(payload, "title", true) || !QuendalPyString(payload, "body", true) ||
        !QuendalPyNumber(payload, "delay", repeats ? kMinRepeatingDelay : kMinDelay, kMaxDelay)) {
        request->fail("value", kInvalidScheduleMessage);
        return request;
    }
    const bool sound = QuendalPyTruth(payload, "sound");
    const std::string& identifier = payload["identifier"].get_ref<const std::string&>();
    const std::string platformIdentifier = std::string(kPrefix) + identifier;
    request->setIdentifier(platformIdentifier);

    const double delay = payload["delay"].is_boolean() ? (payload["delay"].get<bool>() ? 1.0 : 0.0)
                                                       : payload["delay"].get<double>();
    services::NotificationRequest notification{
        platformIdentifier,
        {payload["title"].get<std::string>(), payload["body"].get<std::string>(), sound},
        delay,
        repeats,
    };

    NotificationCenter::current().getNotificationSettings(
        [request, notification = std::move(notification), identifier](NotificationAuthorization status) mutable {
            if (request->closed()) return;
            if (status == NotificationAuthorization::NotDetermined || status == NotificationAuthorization::Denied) {
                return request->fail("permission", kNoPermissionMessage);
            }
            NotificationCenter::current().add(
                std::move(notification), [request, identifier](std::optional<std::string> error) {
                    // Held across the check and the outcome: a close cannot fall between them.
                    auto held = request->hold();
                    if (request->closed()) {
                        NotificationCenter::current().removePendingNotifications({*request->identifier()});
                    } else if (error) {
                        request->fail("os", std::move(error));
                    } else {
                        request->finish(identifier);
                    }
                });
        });
    return request;
}

RequestRef QuendalPyPending(NotificationRef request)
{
    NotificationCenter::current().getPendingNotificationRequests(
        [request](std::vector<services::PendingNotification> pending) {
            Json entries = Json::array();
            for (const auto& entry : pending) {
                const std::string& identifier = entry.request.identifier;
                if (identifier.compare(0, kPrefix.size(), kPrefix) != 0) continue;
                entries.push_back(Json{
                    {"identifier", identifier.substr(kPrefix.size())},
                    {"title", entry.request.content.title},
                    {"body", entry.request.content.body},
                    {"repeat", entry.request.repeats},
                    {"next_date", entry.nextFireDate},
                });
            }
            request->finish(std::move(entries));
        });
    return request;
}

RequestRef QuendalPyCancel(NotificationRef request, const Json& payload)
{
    if (!QuendalPyString(payload, "identifier", false)) {
        request->fail("value", "identifier must be a nonempty string.");
        return request;
    }
    const std::string platformIdentifier = std::string(kPrefix) + payload["identifier"].get<std::string>();
    auto& center = NotificationCenter::current();
    center.removePendingNotifications({platformIdentifier});
    center.removeDeliveredNotifications({platformIdentifier});
    request->finish(nullptr);
    return request;
}

}  // namespace

std::optional<std::string> QuendalPyNotificationRequest::identifier() const
{
    std::lock_guard guard(lock_);
    return identifier_;
}

void QuendalPyNotificationRequest::setIdentifier(std::string identifier)
{
    std::lock_guard guard(lock_);
    identifier_ = std::move(identifier);
}

void QuendalPyNotificationRequest::close()
{
    const bool wasDone = done();
    QuendalPyRequest::close();
    // Not yet confirmed: the schedule is taken back. Confirmed ones stay scheduled.
    if (const auto scheduled = identifier(); !wasDone && scheduled) {
        NotificationCenter::current().removePendingNotifications({*scheduled});
    }
}

RequestRef QuendalPyNotification(const std::string& operation, const Json& payload)
{
    if (operation == "notification.available") return QuendalPyValue(notificationsAvailable());
    // Checked before the name, so unknown names fail this way too.
    if (!notificationsAvailable()) return QuendalPyFailure("not_implemented", kUnavailableMessage);

    auto request = std::make_shared<QuendalPyNotificationRequest>();
    if (operation == "notification.permission") {
        finishWithPermission(request);
        return request;
    }
    if (operation == "notification.request_permission") return QuendalPyRequestPermission(request);
    if (operation == "notification.schedule") return QuendalPySchedule(request, payload);
    if (operation == "notification.pending") return QuendalPyPending(request);
    if (operation == "notification.cancel") return QuendalPyCancel(request, payload);
    request->fail("value", "Unknown notification operation.");
    return request;
}

}  // namespace quendal::system
