// Clipboard operations on the general clipboard; each completes at once.
#include <glib.h>

#include "platform/ui/clipboard.hpp"
#include "system/dispatch.hpp"

namespace quendal::system {
namespace {

// Standard Base64 only: no characters outside the alphabet, padding where due.
std::optional<std::string> decodeBase64(const std::string& text)
{
    if (text.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            if (i + 2 < text.size()) return std::nullopt;
            ++padding;
            continue;
        }
        if (padding) return std::nullopt;
        if (!g_ascii_isalnum(c) && c != '+' && c != '/') return std::nullopt;
    }
    if (text.empty()) return std::string();
    gsize length = 0;
    guchar* bytes = g_base64_decode(text.c_str(), &length);
    std::string data(reinterpret_cast<const char*>(bytes), length);
    g_free(bytes);
    return data;
}

std::string encodeBase64(const std::string& data)
{
    if (data.empty()) return std::string();
    gchar* text = g_base64_encode(reinterpret_cast<const guchar*>(data.data()), data.size());
    std::string result(text);
    g_free(text);
    return result;
}

RequestRef QuendalPyWriteText(const Json& payload)
{
    if (!QuendalPyString(payload, "text", true)) return QuendalPyFailure("value", "text must be a string.");
    const bool localOnly = QuendalPyTruth(payload, "local_only");
    auto expires = payload.find("expires_in");
    if (localOnly || (expires != payload.end() && !expires->is_null())) {
        return QuendalPyFailure("not_implemented", "Clipboard expiration and local_only require iOS.");
    }
    if (!ui::clipboardWriteText(payload["text"].get_ref<const std::string&>())) {
        return QuendalPyFailure("os", "The clipboard rejected the text.");
    }
    return QuendalPyValue();
}

RequestRef QuendalPyWriteBytes(const Json& payload)
{
    if (!QuendalPyString(payload, "type", false) || !QuendalPyString(payload, "data", true)) {
        return QuendalPyFailure("value", "type and base64 data must be strings.");
    }
    auto data = decodeBase64(payload["data"].get_ref<const std::string&>());
    if (!data) return QuendalPyFailure("value", "Invalid base64 data.");
    if (!ui::clipboardWriteData(payload["type"].get_ref<const std::string&>(), std::move(*data))) {
        return QuendalPyFailure("os", "The clipboard rejected the data.");
    }
    return QuendalPyValue();
}

RequestRef QuendalPyReadBytes(const Json& payload)
{
    if (!QuendalPyString(payload, "type", false)) return QuendalPyFailure("value", "type must be a nonempty string.");
    auto data = ui::clipboardReadData(payload["type"].get_ref<const std::string&>());
    return QuendalPyValue(data ? Json(encodeBase64(*data)) : Json(nullptr));
}

}  // namespace

RequestRef QuendalPyClipboard(const std::string& operation, const Json& payload)
{
    if (operation == "clipboard.read_text") {
        auto text = ui::clipboardReadText();
        return QuendalPyValue(text ? Json(std::move(*text)) : Json(nullptr));
    }
    if (operation == "clipboard.types") return QuendalPyValue(Json(ui::clipboardTypes()));
    if (operation == "clipboard.clear") {
        ui::clipboardClear();
        return QuendalPyValue();
    }
    if (operation == "clipboard.write_text") return QuendalPyWriteText(payload);
    if (operation == "clipboard.read_bytes") return QuendalPyReadBytes(payload);
    if (operation == "clipboard.write_bytes") return QuendalPyWriteBytes(payload);
    return QuendalPyFailure("value", "Unknown device or clipboard operation.");
}

}  // namespace quendal::system
