// Results of the GPU facade: a value, or the kind of failure and a readable
// reason so that the message that reaches Python can say what failed.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include <vulkan/vulkan.h>

namespace quendal::gpu {

enum class ErrorKind {
    Unknown,
    OutOfMemory,
    DeviceLost,
    Unsupported,           // a format, feature or extension the device lacks
    InvalidArgument,       // the caller asked for something that cannot be
    ValidationFailed,      // a resource or offset that does not suit its binding
    InvalidShader,         // source or SPIR-V that does not compile or validate
    InitializationFailed,  // an object could not be made for another reason
    SurfaceLost,
    SurfaceOutOfDate,      // the window changed under the swapchain
    Timeout,
};

struct Error {
    ErrorKind kind = ErrorKind::Unknown;
    std::string reason;

    Error() = default;
    Error(ErrorKind kind, std::string reason) : kind(kind), reason(std::move(reason)) {}
    // For facade code: the kind a Vulkan result stands for (vulkan_enums.cpp).
    Error(VkResult code, std::string reason);
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

// What facade code returns when a Vulkan call fails: the call's kind of
// failure, and a reason naming the call and its result.
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
