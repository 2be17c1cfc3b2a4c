#include "platform/ui/sharing_service.hpp"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include "platform/ui/clipboard.hpp"
#include "platform/ui/share_window.hpp"

namespace quendal::ui {
namespace {

std::string fileUri(const std::string& path)
{
    gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
    std::string result = uri ? uri : "";
    g_free(uri);
    return result;
}

std::string escaped(const std::string& text)
{
    gchar* escapedText = g_uri_escape_string(text.c_str(), nullptr, FALSE);
    std::string result(escapedText);
    g_free(escapedText);
    return result;
}

bool hasMailHandler()
{
    GAppInfo* handler = g_app_info_get_default_for_uri_scheme("mailto");
    if (!handler) return false;
    g_object_unref(handler);
    return true;
}

// mailto: with the text and links as body (lines ending CR LF, as mail wants)
// and each file as an "attach" field, the field mail programs read on Linux.
std::string mailtoLink(const std::vector<ShareItem>& items)
{
    std::string body;
    std::string attachments;
    for (const auto& item : items) {
        if (item.kind == ShareItem::Kind::File) {
            attachments += "&attach=" + escaped(fileUri(item.value));
            continue;
        }
        if (!body.empty()) body += "\r\n";
        body += item.value;
    }
    return "mailto:?body=" + escaped(body) + attachments;
}

}  // namespace

std::vector<std::shared_ptr<SharingService>> SharingService::sharingServicesForItems(const std::vector<ShareItem>& items)
{
    bool openable = false;
    for (const auto& item : items) openable = openable || item.kind != ShareItem::Kind::Text;
    std::vector<std::shared_ptr<SharingService>> services;
    services.push_back(std::make_shared<SharingService>(Kind::Copy));
    if (openable) services.push_back(std::make_shared<SharingService>(Kind::Open));
    if (hasMailHandler()) services.push_back(std::make_shared<SharingService>(Kind::Email));
    return services;
}

const std::string& SharingService::title() const
{
    static const std::string titles[] = {"Copy", "Open", "Email"};
    return titles[static_cast<int>(kind_)];
}

void SharingService::performWithItems(const std::vector<ShareItem>& items)
{
    switch (kind_) {
    case Kind::Copy:
        copy(items);
        return;
    case Kind::Open: {
        std::vector<std::string> uris;
        for (const auto& item : items) {
            if (item.kind == ShareItem::Kind::File) uris.push_back(fileUri(item.value));
            if (item.kind == ShareItem::Kind::Url) uris.push_back(item.value);
        }
        launch(std::move(uris));
        return;
    }
    case Kind::Email:
        launch({mailtoLink(items)});
        return;
    }
}

void SharingService::copy(const std::vector<ShareItem>& items)
{
    // Files and links go as a URI list for programs that take them, and as
    // text (paths and links, one a line) for programs that take text.
    std::string text;
    std::string uriList;
    std::string copiedFiles = "copy";
    bool anyFile = false;
    for (const auto& item : items) {
        // An empty text adds no blank line before the paths.
        if (!text.empty() && !item.value.empty()) text += "\n";
        text += item.value;
        if (item.kind == ShareItem::Kind::Text) continue;
        const std::string uri = item.kind == ShareItem::Kind::File ? fileUri(item.value) : item.value;
        uriList += uri + "\r\n";
        if (item.kind == ShareItem::Kind::File) {
            copiedFiles += "\n" + uri;
            anyFile = true;
        }
    }
    std::vector<std::pair<std::string, std::string>> data;
    if (!uriList.empty()) data.emplace_back("text/uri-list", std::move(uriList));
    // What file managers paste as files.
    if (anyFile) data.emplace_back("x-special/gnome-copied-files", std::move(copiedFiles));
    if (!clipboardWrite(std::move(text), std::move(data))) {
        const std::string failure = "The clipboard rejected the shared items.";
        report(&failure);
        return;
    }
    report(nullptr);
}

struct SharingService::Launch {
    std::shared_ptr<SharingService> service;
    std::vector<std::string> uris;
    size_t next = 0;
    GAppLaunchContext* context = nullptr;

    ~Launch()
    {
        if (context) g_object_unref(context);
    }
};

void SharingService::launch(std::vector<std::string> uris)
{
    auto state = std::make_unique<Launch>();
    state->service = shared_from_this();
    state->uris = std::move(uris);
    ShareWindow* source = delegate_ ? delegate_->sharingServiceSourceWindow(*this) : nullptr;
    GdkDisplay* display = source && source->widget() ? gtk_widget_get_display(source->widget()) : gdk_display_get_default();
    if (display) state->context = G_APP_LAUNCH_CONTEXT(gdk_display_get_app_launch_context(display));
    launchNext(std::move(state));
}

// One URI after the other, so that a failure stops the rest and is reported as it stands.
void SharingService::launchNext(std::unique_ptr<Launch> state)
{
    if (state->next == state->uris.size()) {
        state->service->report(nullptr);
        return;
    }
    // The callback owns the state from here on.
    Launch* pending = state.release();
    g_app_info_launch_default_for_uri_async(
        pending->uris[pending->next].c_str(), pending->context, nullptr,
        [](GObject*, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Launch> state(static_cast<Launch*>(data));
            GError* error = nullptr;
            if (!g_app_info_launch_default_for_uri_finish(result, &error)) {
                const std::string failure = error ? error->message : "The default application could not be started.";
                g_clear_error(&error);
                state->service->report(&failure);
                return;
            }
            ++state->next;
            launchNext(std::move(state));
        },
        pending);
}

void SharingService::report(const std::string* failure)
{
    // The delegate may drop its last reference to this service.
    auto keep = shared_from_this();
    SharingServiceDelegate* delegate = delegate_;
    if (!delegate) return;
    if (failure) {
        delegate->sharingServiceDidFailToShareItems(*this, *failure);
    } else {
        delegate->sharingServiceDidShareItems(*this);
    }
}

SharingServicePicker::SharingServicePicker(std::vector<ShareItem> items)
    : items_(std::move(items)), services_(SharingService::sharingServicesForItems(items_))
{
}

SharingServicePicker::~SharingServicePicker()
{
    destroyMenu();
}

void SharingServicePicker::showRelativeToButton(PushButton& button)
{
    if (closed_ || menu_ || services_.empty()) return;
    GtkWidget* menu = gtk_menu_new();
    g_object_ref_sink(menu);
    gtk_menu_set_reserve_toggle_size(GTK_MENU(menu), FALSE);
    for (size_t i = 0; i < services_.size(); ++i) {
        GtkWidget* item = gtk_menu_item_new_with_label(services_[i]->title().c_str());
        g_object_set_data(G_OBJECT(item), "quendal-service", services_[i].get());
        g_signal_connect(item, "activate", G_CALLBACK(onActivate), this);
        gtk_widget_show(item);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    }
    g_signal_connect(menu, "deactivate", G_CALLBACK(onDeactivate), this);
    menu_ = menu;
    // Below the button, left edges aligned; GTK flips it above where the screen
    // has no room. The triggering event lets the menu take the grab from it.
    GdkEvent* trigger = gtk_get_current_event();
    gtk_menu_popup_at_widget(GTK_MENU(menu), button.widget(), GDK_GRAVITY_SOUTH_WEST, GDK_GRAVITY_NORTH_WEST, trigger);
    if (trigger) gdk_event_free(trigger);
    if (!gtk_widget_get_visible(menu)) {
        // The grab was refused (another program holds it): nothing is shown.
        destroyMenu();
        return;
    }
    gtk_menu_shell_select_first(GTK_MENU_SHELL(menu), TRUE);
}

void SharingServicePicker::close()
{
    closed_ = true;
    delegate_ = nullptr;
    chosen_.reset();
    destroyMenu();
}

void SharingServicePicker::destroyMenu()
{
    if (!menu_) return;
    auto* menu = static_cast<GtkWidget*>(menu_);
    menu_ = nullptr;
    g_signal_handlers_disconnect_by_data(menu, this);
    GList* children = gtk_container_get_children(GTK_CONTAINER(menu));
    for (GList* child = children; child; child = child->next) g_signal_handlers_disconnect_by_data(child->data, this);
    g_list_free(children);
    gtk_widget_destroy(menu);
    g_object_unref(menu);
}

void SharingServicePicker::onActivate(void* item, void* data)
{
    auto* self = static_cast<SharingServicePicker*>(data);
    auto* service = static_cast<SharingService*>(g_object_get_data(G_OBJECT(item), "quendal-service"));
    for (const auto& candidate : self->services_) {
        if (candidate.get() == service) self->chosen_ = candidate;
    }
}

void SharingServicePicker::onDeactivate(void*, void* data)
{
    // GTK deactivates the menu before it activates the chosen entry; the
    // outcome is known once this event has been handled.
    auto* self = static_cast<SharingServicePicker*>(data);
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_HIGH_IDLE);
    g_source_set_callback(source, finishSelection, new std::shared_ptr<SharingServicePicker>(self->shared_from_this()),
                          [](gpointer held) { delete static_cast<std::shared_ptr<SharingServicePicker>*>(held); });
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

int SharingServicePicker::finishSelection(void* data)
{
    // A strong reference for the whole callback: the delegate may drop the picker.
    const std::shared_ptr<SharingServicePicker> self = *static_cast<std::shared_ptr<SharingServicePicker>*>(data);
    if (self->closed_) return G_SOURCE_REMOVE;
    self->destroyMenu();
    const std::shared_ptr<SharingService> chosen = std::move(self->chosen_);
    self->chosen_.reset();
    if (self->delegate_) self->delegate_->sharingServicePickerDidChooseSharingService(*self, chosen);
    if (chosen) chosen->performWithItems(self->items_);
    return G_SOURCE_REMOVE;
}

}  // namespace quendal::ui
