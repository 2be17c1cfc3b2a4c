#include "system/dispatch.hpp"

#include <cctype>
#include <cmath>

#include "system/location.hpp"
#include "system/notification.hpp"

namespace quendal::system {
namespace {

bool hasPrefix(const std::string& name, std::string_view prefix)
{
    return name.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

RequestRef QuendalPyStart(const std::string& operation, const Json& payload)
{
    if (hasPrefix(operation, "location.")) return QuendalPyLocation(operation, payload);
    if (hasPrefix(operation, "motion.")) return QuendalPyMotion(operation, payload);
    if (hasPrefix(operation, "notification.")) return QuendalPyNotification(operation, payload);
    if (hasPrefix(operation, "share.")) return QuendalPyShare(operation, payload);
    if (hasPrefix(operation, "device.") || hasPrefix(operation, "clipboard.")) {
        return hasPrefix(operation, "clipboard.") ? QuendalPyClipboard(operation, payload)
                                                  : QuendalPyDevice(operation, payload);
    }
    return QuendalPyFailure("value", "Unknown system operation.");
}

bool QuendalPyNumber(const Json& payload, const char* key, double min, double max)
{
    auto it = payload.find(key);
    if (it == payload.end()) return false;
    double value;
    if (it->is_boolean()) {
        value = it->get<bool>() ? 1.0 : 0.0;
    } else if (it->is_number()) {
        value = it->get<double>();
    } else {
        return false;
    }
    return std::isfinite(value) && value >= min && value <= max;
}

bool QuendalPyString(const Json& payload, const char* key, bool allowEmpty)
{
    auto it = payload.find(key);
    if (it == payload.end() || !it->is_string()) return false;
    return allowEmpty || !it->get_ref<const std::string&>().empty();
}

bool QuendalPyTruth(const Json& payload, const char* key)
{
    auto it = payload.find(key);
    if (it == payload.end()) return false;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer()) return it->get<int64_t>() != 0 || it->get<uint64_t>() != 0;
    if (it->is_number()) return it->get<double>() != 0.0;
    if (it->is_string()) {
        const std::string& text = it->get_ref<const std::string&>();
        size_t i = 0;
        while (i < text.size() && (text[i] == ' ' || text[i] == '+' || text[i] == '-' || text[i] == '0')) ++i;
        if (i == text.size()) return false;
        const char c = text[i];
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    throw QuendalPyPayloadError(std::string(key) + " must be a boolean, a number or a string.");
}

}  // namespace quendal::system
