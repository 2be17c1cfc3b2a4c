// Local notifications: the "notification." family of operations.
#pragma once

#include <optional>
#include <string>

#include "system/request.hpp"

namespace quendal::system {

// A request answered by the notification centre. A schedule request knows the
// platform identifier it is adding, so that closing it before the centre has
// confirmed the add takes the notification back.
class QuendalPyNotificationRequest : public QuendalPyRequest {
public:
    std::optional<std::string> identifier() const;
    void setIdentifier(std::string identifier);

    // Lock for a callback that must check closed and record its outcome as one
    // step; recursive, so the request's own operations may run inside it.
    std::unique_lock<std::recursive_mutex> hold() { return std::unique_lock(lock_); }

    // Main thread only (as every close is).
    void close() override;

private:
    std::optional<std::string> identifier_;
};

// Every operation whose name starts with "notification.". Main thread only.
RequestRef QuendalPyNotification(const std::string& operation, const Json& payload);

}  // namespace quendal::system
