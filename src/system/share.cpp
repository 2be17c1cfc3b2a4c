// "share." operations: the share window, its picker and the services' outcome.
#include "system/share.hpp"

#include <filesystem>
#include <unordered_set>

#include <glib.h>

#include "platform/ui/gtk_init.hpp"
#include "system/dispatch.hpp"

namespace quendal::system {
namespace {

constexpr ui::Size kShareContentSize{360, 150};
constexpr ui::Rect kShareButtonFrame{{120, 55}, {120, 36}};

// Shares whose window is open. Touched on the main thread only; never freed, so
// that no window is torn down by static destruction at exit.
std::unordered_set<std::shared_ptr<QuendalPyShareRequest>>* gActiveShares = nullptr;

std::unordered_set<std::shared_ptr<QuendalPyShareRequest>>& QuendalPyActiveShares()
{
    if (!gActiveShares) gActiveShares = new std::unordered_set<std::shared_ptr<QuendalPyShareRequest>>();
    return *gActiveShares;
}

// An absolute URL of any scheme but "file", as its normalised text. A NUL byte
// would cut the text short in every later C call, so it makes the URL invalid.
std::optional<std::string> QuendalPyWebURL(const std::string& text)
{
    if (text.find('\0') != std::string::npos) return std::nullopt;
    // ENCODED keeps escapes such as %2F as they are instead of decoding them.
    GUri* uri = g_uri_parse(text.c_str(), G_URI_FLAGS_ENCODED, nullptr);
    if (!uri) return std::nullopt;
    std::optional<std::string> result;
    const char* scheme = g_uri_get_scheme(uri);
    if (scheme && *scheme && g_ascii_strcasecmp(scheme, "file") != 0) {
        gchar* normalised = g_uri_to_string(uri);
        result = normalised;
        g_free(normalised);
    }
    g_uri_unref(uri);
    return result;
}

}  // namespace

QuendalPyShareRequest::~QuendalPyShareRequest()
{
    // A share that never opened its window (failed validation) still holds access.
    endFileAccess();
}

bool QuendalPyShareRequest::addFile(const std::string& path)
{
    // A path with a NUL byte names no file; the hooks would see a shorter one.
    if (path.find('\0') != std::string::npos) {
        fail("file_not_found", "The shared file does not exist: " + path);
        return false;
    }
    auto access = std::make_unique<QuendalPyFileAccess>(path);
    if (g_file_test(path.c_str(), G_FILE_TEST_EXISTS)) {
        access_.push_back(std::move(access));
        return true;
    }
    fail("file_not_found", "The shared file does not exist: " + path);
    return false;
}

void QuendalPyShareRequest::present(std::vector<ui::ShareItem> items)
{
    items_ = std::move(items);
    window_ = ui::ShareWindow::create(kShareContentSize, true);
    window_->setTitle("Share");
    window_->setDelegate(this);
    button_ = std::make_unique<ui::PushButton>("Share\u2026", kShareButtonFrame);
    button_->setAction([this] { showPicker(); });
    window_->addButton(*button_);
    picker_ = std::make_shared<ui::SharingServicePicker>(items_);
    picker_->setDelegate(this);
    QuendalPyActiveShares().insert(shared_from_this());
    window_->center();
    window_->makeKeyAndOrderFront();
}

void QuendalPyShareRequest::showPicker()
{
    if (picker_ && button_) picker_->showRelativeToButton(*button_);
}

void QuendalPyShareRequest::complete(bool completed, const std::optional<std::string>& activity,
                                     const std::optional<std::string>& error)
{
    auto keep = shared_from_this();
    if (error) {
        fail("os", *error);
    } else {
        finish(Json{{"completed", completed}, {"activity", activity ? Json(*activity) : Json(nullptr)}});
    }
    cleanup();
}

void QuendalPyShareRequest::cleanup()
{
    // Leaving the set may drop the last reference; finish the job first.
    auto keep = shared_from_this();
    if (picker_) {
        picker_->setDelegate(nullptr);
        picker_->close();
        picker_.reset();
    }
    if (service_) {
        service_->setDelegate(nullptr);
        service_.reset();
    }
    if (window_) {
        window_->setDelegate(nullptr);
        window_->close();
        window_.reset();
    }
    button_.reset();
    endFileAccess();
    items_.clear();
    if (gActiveShares) gActiveShares->erase(keep);
}

void QuendalPyShareRequest::close()
{
    auto keep = shared_from_this();
    QuendalPyRequest::close();
    if (!selected_) cleanup();
}

void QuendalPyShareRequest::endFileAccess()
{
    while (!access_.empty()) access_.pop_back();
}

bool QuendalPyShareRequest::windowShouldClose(ui::ShareWindow&)
{
    auto keep = shared_from_this();
    if (!selected_) complete(false, std::nullopt, std::nullopt);
    // cleanup closes the window; the click itself never does.
    return false;
}

void QuendalPyShareRequest::sharingServicePickerDidChooseSharingService(
    ui::SharingServicePicker&, const std::shared_ptr<ui::SharingService>& service)
{
    auto keep = shared_from_this();
    if (!service) {
        complete(false, std::nullopt, std::nullopt);
        return;
    }
    selected_ = true;
    service_ = service;
    service_->setDelegate(this);
}

void QuendalPyShareRequest::sharingServiceDidShareItems(ui::SharingService& service)
{
    complete(true, service.title(), std::nullopt);
}

void QuendalPyShareRequest::sharingServiceDidFailToShareItems(ui::SharingService& service,
                                                              const std::string& description)
{
    complete(false, service.title(), description);
}

ui::ShareWindow* QuendalPyShareRequest::sharingServiceSourceWindow(ui::SharingService&)
{
    return window_.get();
}

RequestRef QuendalPyShare(const std::string& operation, const Json& payload)
{
    if (operation != "share.present") return QuendalPyFailure("value", "Unknown share operation.");

    static const Json kEmptyList = Json::array();
    auto textIt = payload.find("text");
    auto filesIt = payload.find("files");
    auto urlsIt = payload.find("urls");
    const Json& files = filesIt == payload.end() ? kEmptyList : *filesIt;
    const Json& urls = urlsIt == payload.end() ? kEmptyList : *urlsIt;
    if (!files.is_array() || !urls.is_array() || textIt == payload.end() ||
        !(textIt->is_null() || textIt->is_string())) {
        return QuendalPyFailure("value", "Share requires text, file paths, or URL strings.");
    }

    auto request = std::make_shared<QuendalPyShareRequest>();
    std::vector<ui::ShareItem> items;
    if (textIt->is_string()) items.push_back({ui::ShareItem::Kind::Text, textIt->get<std::string>()});

    for (const Json& entry : files) {
        if (!entry.is_string() || entry.get_ref<const std::string&>().empty()) {
            return QuendalPyFailure("value", "File paths must be nonempty strings.");
        }
        // Relative paths name files under the working directory, as a file URL made from them would.
        std::string path = entry.get<std::string>();
        std::error_code error;
        std::string absolute = std::filesystem::absolute(path, error).string();
        if (!error) path = std::move(absolute);
        if (!request->addFile(path)) {
            // A share that cannot start holds no file.
            request->cleanup();
            return request;
        }
        items.push_back({ui::ShareItem::Kind::File, path});
    }

    for (const Json& entry : urls) {
        if (!entry.is_string()) return QuendalPyFailure("value", "URLs must be strings.");
        auto url = QuendalPyWebURL(entry.get_ref<const std::string&>());
        if (!url) return QuendalPyFailure("value", "Use an absolute non-file URL, or put local paths in files.");
        items.push_back({ui::ShareItem::Kind::Url, std::move(*url)});
    }

    if (items.empty()) return QuendalPyFailure("value", "At least one item is required.");

    QuendalPyActiveShares();
    QuendalPyPrepareApplication();
    if (!ui::systemGtkAvailable()) {
        return QuendalPyFailure("not_implemented", "Sharing needs a graphical display.");
    }
    request->present(std::move(items));
    return request;
}

}  // namespace quendal::system
