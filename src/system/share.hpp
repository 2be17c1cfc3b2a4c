// Sharing: "share.present" opens a small window with a "Share…" button whose
// picker offers the items (text, files, links) to the desktop's sharing
// services. Everything here runs on the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/share_window.hpp"
#include "platform/ui/sharing_service.hpp"
#include "runtime/file_access.hpp"
#include "system/request.hpp"

namespace quendal::system {

// One share in progress. It is the delegate of its window, its picker and the
// chosen service; QuendalPyActiveShares keeps it alive while its window is open,
// whether or not Python still holds its handle.
class QuendalPyShareRequest final : public QuendalPyRequest,
                                    public ui::ShareWindowDelegate,
                                    public ui::SharingServicePickerDelegate,
                                    public ui::SharingServiceDelegate,
                                    public std::enable_shared_from_this<QuendalPyShareRequest> {
public:
    QuendalPyShareRequest() = default;
    ~QuendalPyShareRequest() override;

    // Takes access to the file at path (absolute) for as long as the share
    // lasts. False, with the request failed "file_not_found", when it does not exist.
    bool addFile(const std::string& path);
    // Builds the window, the button and the picker on items and shows the window.
    void present(std::vector<ui::ShareItem> items);
    // The button's action.
    void showPicker();
    void complete(bool completed, const std::optional<std::string>& activity, const std::optional<std::string>& error);
    // Closes the picker and the window, ends file access (last to first) and
    // leaves QuendalPyActiveShares. Safe to run more than once.
    void cleanup();
    // Cleans up at once unless a service has the items; that service's report
    // cleans up later.
    void close() override;

    bool windowShouldClose(ui::ShareWindow& window) override;
    void sharingServicePickerDidChooseSharingService(ui::SharingServicePicker& picker,
                                                     const std::shared_ptr<ui::SharingService>& service) override;
    void sharingServiceDidShareItems(ui::SharingService& service) override;
    void sharingServiceDidFailToShareItems(ui::SharingService& service, const std::string& description) override;
    ui::ShareWindow* sharingServiceSourceWindow(ui::SharingService& service) override;

private:
    void endFileAccess();

    std::vector<std::unique_ptr<QuendalPyFileAccess>> access_;  // in file order
    std::vector<ui::ShareItem> items_;
    bool selected_ = false;
    std::shared_ptr<ui::ShareWindow> window_;
    std::shared_ptr<ui::SharingServicePicker> picker_;
    std::shared_ptr<ui::SharingService> service_;
    std::unique_ptr<ui::PushButton> button_;
};

}  // namespace quendal::system
