// Sharing services and the picker that offers them. Main thread only; needs
// systemGtkAvailable().
//
// The services are the desktop's own mechanisms:
//   "Copy"  the clipboard: text as text; files and links as a text/uri-list
//           (and the GNOME file-manager list when there are files), with their
//           text form alongside
//   "Open"  each file and link with its default application (GIO)
//   "Email" one mailto: link through the desktop's mail handler: the text and
//           the links as body, the files as attachments
// A service reports once, to its delegate, on the main thread: shared, or failed
// with the platform's description.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quendal::ui {

class PushButton;
class ShareWindow;
class SharingService;

struct ShareItem {
    enum class Kind { Text, File, Url };
    Kind kind;
    // Text: the text. File: an absolute path. Url: an absolute URL.
    std::string value;
};

class SharingServiceDelegate {
public:
    virtual ~SharingServiceDelegate() = default;
    virtual void sharingServiceDidShareItems(SharingService& service) = 0;
    virtual void sharingServiceDidFailToShareItems(SharingService& service, const std::string& description) = 0;
    // The window the share comes from (for the launch's display and focus); may be null.
    virtual ShareWindow* sharingServiceSourceWindow(SharingService& service) = 0;
};

class SharingService : public std::enable_shared_from_this<SharingService> {
public:
    enum class Kind { Copy, Open, Email };

    // The services that can take items, in the order copy, open, e-mail. Open
    // needs a file or a link; e-mail needs a mail handler on the desktop.
    static std::vector<std::shared_ptr<SharingService>> sharingServicesForItems(const std::vector<ShareItem>& items);

    explicit SharingService(Kind kind) : kind_(kind) {}
    Kind kind() const { return kind_; }
    // The display title, as the picker lists it.
    const std::string& title() const;
    // Not owned; a service whose delegate is cleared reports to no one.
    void setDelegate(SharingServiceDelegate* delegate) { delegate_ = delegate; }
    SharingServiceDelegate* delegate() const { return delegate_; }

    // Shares the items; the outcome reaches the delegate, possibly later (a
    // launch finishes asynchronously). The service keeps itself alive until then.
    void performWithItems(const std::vector<ShareItem>& items);

private:
    struct Launch;
    void copy(const std::vector<ShareItem>& items);
    void launch(std::vector<std::string> uris);
    static void launchNext(std::unique_ptr<Launch> launch);
    void report(const std::string* failure);

    Kind kind_;
    SharingServiceDelegate* delegate_ = nullptr;
};

class SharingServicePicker;

class SharingServicePickerDelegate {
public:
    virtual ~SharingServicePickerDelegate() = default;
    // The user chose a service, or dismissed the picker (service null). The
    // picker performs a chosen service right after this returns.
    virtual void sharingServicePickerDidChooseSharingService(SharingServicePicker& picker,
                                                             const std::shared_ptr<SharingService>& service) = 0;
};

// A menu of the services anchored under a button. Its first entry is selected
// when it opens (Return chooses it); Escape or a click elsewhere dismisses it.
class SharingServicePicker : public std::enable_shared_from_this<SharingServicePicker> {
public:
    explicit SharingServicePicker(std::vector<ShareItem> items);
    ~SharingServicePicker();
    SharingServicePicker(const SharingServicePicker&) = delete;
    SharingServicePicker& operator=(const SharingServicePicker&) = delete;

    // Not owned; cleared by the delegate before it goes away.
    void setDelegate(SharingServicePickerDelegate* delegate) { delegate_ = delegate; }
    const std::vector<std::shared_ptr<SharingService>>& services() const { return services_; }

    // Shows the menu below the button (above it where the screen has no room).
    // Does nothing while the menu is open or after close().
    void showRelativeToButton(PushButton& button);
    // Hides the menu and forgets it; no delegate call follows.
    void close();

private:
    static void onActivate(void* item, void* data);
    static void onDeactivate(void* menu, void* data);
    static int finishSelection(void* data);
    void destroyMenu();

    std::vector<ShareItem> items_;
    std::vector<std::shared_ptr<SharingService>> services_;
    SharingServicePickerDelegate* delegate_ = nullptr;
    void* menu_ = nullptr;  // GtkWidget*, strong while shown
    std::shared_ptr<SharingService> chosen_;
    bool closed_ = false;
};

}  // namespace quendal::ui
