// libFuzzer over the request path of _system: an operation name and a JSON
// payload, parsed and dispatched as start does, polled for snapshots that are
// serialised as poll does, then closed, with the main context turning between
// the steps so that callbacks run. Input: the operation name, a newline, the
// payload text.
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include <glib.h>

#include "system/dispatch.hpp"
#include "system/request.hpp"

using quendal::system::Json;

namespace {

void turnMainContext()
{
    for (int i = 0; i < 8 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);
    const char* newline = static_cast<const char*>(std::memchr(text, '\n', size));
    if (!newline) return 0;
    const std::string operation(text, newline);
    const char* payloadText = newline + 1;
    const size_t payloadLength = size - static_cast<size_t>(payloadText - text);
    // start refuses NUL bytes in either argument before anything is dispatched.
    if (operation.find('\0') != std::string::npos || std::memchr(payloadText, '\0', payloadLength)) return 0;
    Json payload = Json::parse(payloadText, payloadText + payloadLength, nullptr, false);
    if (!payload.is_object()) return 0;

    quendal::system::RequestRef request;
    try {
        request = quendal::system::QuendalPyStart(operation, payload);
    } catch (const std::exception& error) {
        request = quendal::system::QuendalPyFailure("runtime", std::string(error.what()));
    }
    for (bool consume : {false, true}) {
        turnMainContext();
        try {
            (void)request->snapshotText(consume);
        } catch (const std::exception&) {
            // poll raises "non-serializable data" here; nothing to check.
        }
    }
    request->close();
    turnMainContext();
    return 0;
}
