// Turning an operation name and its JSON payload into a request, and the payload
// readers every family uses. Main thread only.
#pragma once

#include <stdexcept>
#include <string>

#include "system/request.hpp"

namespace quendal::system {

// Routes by prefix; never fails by itself: every problem becomes a failed request.
// A std::exception escaping a handler is caught one level up (start) and becomes
// a "runtime" failure.
RequestRef QuendalPyStart(const std::string& operation, const Json& payload);

// True only for a finite number (booleans count as 1 and 0) with min <= value <= max.
bool QuendalPyNumber(const Json& payload, const char* key, double min, double max);
// True only for a string, non-empty unless allowEmpty.
bool QuendalPyString(const Json& payload, const char* key, bool allowEmpty);

// Raised where a truth flag holds a value that has no truth reading (null, array,
// object); the dispatcher's caller turns it into a "runtime" failure.
class QuendalPyPayloadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Absent is false; booleans and numbers are true when non-zero; a string is true
// when, after leading spaces, signs and zeros, it begins with Y, T or 1 to 9.
bool QuendalPyTruth(const Json& payload, const char* key);

// Makes sure the application exists and is active before a permission prompt
// or a share window. Main thread only.
void QuendalPyPrepareApplication();

// Families handled in this module's own files.
RequestRef QuendalPyMotion(const std::string& operation, const Json& payload);
RequestRef QuendalPyDevice(const std::string& operation, const Json& payload);
RequestRef QuendalPyClipboard(const std::string& operation, const Json& payload);
RequestRef QuendalPyShare(const std::string& operation, const Json& payload);

}  // namespace quendal::system
