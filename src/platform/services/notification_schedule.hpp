// The time-interval triggers of locally scheduled notifications: which are
// pending, in scheduling order, and which are due at a given moment. Pure
// bookkeeping on a monotonic microsecond clock that the caller supplies, so the
// repeat arithmetic can be checked without waiting. Not thread-safe: its owner
// serialises access (the notification centre uses it on the main thread only).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quendal::services {

struct NotificationContent {
    std::string title;
    std::string body;
    bool sound = false;  // the default notification sound
};

struct NotificationRequest {
    std::string identifier;
    NotificationContent content;
    double interval = 0;  // seconds until the first fire, and between repeats
    bool repeats = false;
};

class NotificationSchedule {
public:
    struct Entry {
        NotificationRequest request;
        int64_t intervalUs;
        int64_t dueUs;  // next fire, on the caller's monotonic clock
    };

    // Schedules request to fire first at nowUs + its interval. An entry with the
    // same identifier is replaced, and the new one counts as scheduled last.
    void add(NotificationRequest request, int64_t nowUs);
    // False when nothing with that identifier is pending.
    bool remove(const std::string& identifier);

    // In scheduling order.
    const std::vector<Entry>& entries() const { return entries_; }
    // The earliest due time, if anything is pending.
    std::optional<int64_t> nextDue() const;

    // The requests due at nowUs, in scheduling order. One-shot ones leave the
    // schedule; repeating ones move on by whole intervals to their first fire
    // time after nowUs, so fires missed while the clock jumped (a suspended
    // machine, a main loop that did not run) are delivered once, not in a burst.
    std::vector<NotificationRequest> takeDue(int64_t nowUs);

private:
    std::vector<Entry> entries_;
};

}  // namespace quendal::services
