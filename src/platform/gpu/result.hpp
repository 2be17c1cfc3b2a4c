// Results of the GPU facade: a value, or the native error and a readable reason
// so that the message that reaches Python can say what failed.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <vulkan/vulkan.h>

namespace quendal::gpu {

struct Error {
    VkResult code = VK_ERROR_UNKNOWN;
    std::string reason;
};

template <class T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Error error) : error_(std::move(error)) {}

    explicit operator bool() const { return value_.has_value(); }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T& operator*() { return *value_; }
    T* operator->() { return &*value_; }
    const Error& error() const { return error_; }

private:
    std::optional<T> value_;
    Error error_;
};

inline Error vkError(VkResult code, std::string what)
{
    return Error{code, std::move(what) + " failed (VkResult " + std::to_string(static_cast<int>(code)) + ")"};
}

// The result of an operation that yields nothing but may fail.
using Status = Result<std::monostate>;
inline Status success()
{
    return std::monostate{};
}

}  // namespace quendal::gpu
