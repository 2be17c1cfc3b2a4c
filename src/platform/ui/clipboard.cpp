#include "platform/ui/clipboard.hpp"

#include <gtk/gtk.h>

#include "platform/ui/gtk_init.hpp"

namespace quendal::ui {
namespace {

GtkClipboard* generalClipboard()
{
    if (!systemGtkAvailable()) return nullptr;
    return gtk_clipboard_get(GDK_SELECTION_CLIPBOARD);
}

bool isProtocolTarget(const char* name)
{
    static constexpr const char* kProtocolTargets[] = {
        "TARGETS", "TIMESTAMP", "MULTIPLE", "SAVE_TARGETS", "DELETE", "INSERT_PROPERTY", "INSERT_SELECTION",
    };
    for (const char* target : kProtocolTargets) {
        if (g_strcmp0(name, target) == 0) return true;
    }
    return false;
}

struct OwnedData {
    std::string type;
    std::string bytes;
};

void provideData(GtkClipboard*, GtkSelectionData* selection, guint, gpointer owner)
{
    const auto* data = static_cast<const OwnedData*>(owner);
    gtk_selection_data_set(selection, gdk_atom_intern(data->type.c_str(), FALSE), 8,
                           reinterpret_cast<const guchar*>(data->bytes.data()), static_cast<gint>(data->bytes.size()));
}

void releaseData(GtkClipboard*, gpointer owner)
{
    delete static_cast<OwnedData*>(owner);
}

}  // namespace

std::optional<std::string> clipboardReadText()
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return std::nullopt;
    gchar* text = gtk_clipboard_wait_for_text(clipboard);
    if (!text) return std::nullopt;
    std::string result(text);
    g_free(text);
    return result;
}

std::vector<std::string> clipboardTypes()
{
    std::vector<std::string> types;
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return types;
    // Ask the owner each time: GTK's cached target list goes stale until the
    // owner-change event of another program's (or our own) change is dispatched.
    GtkSelectionData* selection = gtk_clipboard_wait_for_contents(clipboard, gdk_atom_intern_static_string("TARGETS"));
    if (!selection) return types;
    GdkAtom* targets = nullptr;
    gint count = 0;
    if (gtk_selection_data_get_targets(selection, &targets, &count)) {
        for (gint i = 0; i < count; ++i) {
            gchar* name = gdk_atom_name(targets[i]);
            if (name && !isProtocolTarget(name)) types.emplace_back(name);
            g_free(name);
        }
        g_free(targets);
    }
    gtk_selection_data_free(selection);
    return types;
}

std::optional<std::string> clipboardReadData(const std::string& type)
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return std::nullopt;
    GtkSelectionData* selection = gtk_clipboard_wait_for_contents(clipboard, gdk_atom_intern(type.c_str(), FALSE));
    if (!selection) return std::nullopt;
    std::optional<std::string> result;
    const gint length = gtk_selection_data_get_length(selection);
    if (length >= 0) {
        const guchar* bytes = gtk_selection_data_get_data(selection);
        result.emplace(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    }
    gtk_selection_data_free(selection);
    return result;
}

void clipboardClear()
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return;
    gtk_clipboard_clear(clipboard);
    // gtk_clipboard_clear only gives up a selection this process owns; setting
    // no owner at all also empties one that another program holds.
    gtk_selection_owner_set_for_display(gdk_display_get_default(), nullptr, GDK_SELECTION_CLIPBOARD,
                                        GDK_CURRENT_TIME);
}

bool clipboardWriteText(const std::string& text)
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return false;
    if (text.size() > static_cast<size_t>(G_MAXINT)) return false;
    gtk_clipboard_clear(clipboard);
    // Offers every text target other programs ask for (UTF8_STRING, STRING,
    // text/plain;charset=utf-8, ...); it reports no failure of its own, so check
    // that the selection is now ours.
    gtk_clipboard_set_text(clipboard, text.data(), static_cast<gint>(text.size()));
    return gdk_selection_owner_get_for_display(gdk_display_get_default(), GDK_SELECTION_CLIPBOARD) != nullptr;
}

bool clipboardWriteData(const std::string& type, std::string data)
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return false;
    if (data.size() > static_cast<size_t>(G_MAXINT)) return false;
    gtk_clipboard_clear(clipboard);
    GtkTargetEntry entry{const_cast<gchar*>(type.c_str()), 0, 0};
    auto* owned = new OwnedData{type, std::move(data)};
    if (!gtk_clipboard_set_with_data(clipboard, &entry, 1, provideData, releaseData, owned)) {
        delete owned;
        return false;
    }
    return true;
}

}  // namespace quendal::ui
