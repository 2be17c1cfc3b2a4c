#include "platform/services/notification_schedule.hpp"

#include <algorithm>
#include <cmath>

namespace quendal::services {

void NotificationSchedule::add(NotificationRequest request, int64_t nowUs)
{
    remove(request.identifier);
    // At least a microsecond, so that a repeating entry always moves forward.
    const int64_t intervalUs = std::max<int64_t>(1, std::llround(request.interval * 1e6));
    entries_.push_back(Entry{std::move(request), intervalUs, nowUs + intervalUs});
}

bool NotificationSchedule::remove(const std::string& identifier)
{
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry& entry) { return entry.request.identifier == identifier; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

std::optional<int64_t> NotificationSchedule::nextDue() const
{
    std::optional<int64_t> earliest;
    for (const Entry& entry : entries_) {
        if (!earliest || entry.dueUs < *earliest) earliest = entry.dueUs;
    }
    return earliest;
}

std::vector<NotificationRequest> NotificationSchedule::takeDue(int64_t nowUs)
{
    std::vector<NotificationRequest> due;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->dueUs > nowUs) {
            ++it;
            continue;
        }
        due.push_back(it->request);
        if (!it->request.repeats) {
            it = entries_.erase(it);
            continue;
        }
        const int64_t missed = (nowUs - it->dueUs) / it->intervalUs;
        it->dueUs += (missed + 1) * it->intervalUs;
        ++it;
    }
    return due;
}

}  // namespace quendal::services
