#include "platform/ui/clipboard.hpp"

#include <gtk/gtk.h>

#include "platform/ui/gtk_init.hpp"

namespace quendal::ui {
namespace {

constexpr const char* kUtf8TextType = "text/plain;charset=utf-8";

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

// What this process offers while it owns the clipboard. GTK frees it (through
// releaseContents) when another program takes the selection or we replace it.
struct OwnedContents {
    bool text = false;  // offered under every text target, else under type only
    std::string type;
    std::string bytes;
};

OwnedContents* gOwnedContents = nullptr;

void provideContents(GtkClipboard*, GtkSelectionData* selection, guint, gpointer owner)
{
    const auto* contents = static_cast<const OwnedContents*>(owner);
    if (contents->text) {
        gtk_selection_data_set_text(selection, contents->bytes.data(), static_cast<gint>(contents->bytes.size()));
        return;
    }
    gtk_selection_data_set(selection, gdk_atom_intern(contents->type.c_str(), FALSE), 8,
                           reinterpret_cast<const guchar*>(contents->bytes.data()),
                           static_cast<gint>(contents->bytes.size()));
}

void releaseContents(GtkClipboard*, gpointer owner)
{
    auto* contents = static_cast<OwnedContents*>(owner);
    if (gOwnedContents == contents) gOwnedContents = nullptr;
    delete contents;
}

// Our own contents while the X server still names us the owner (one round trip):
// answering from memory skips the selection protocol's several round trips. GTK
// learns of a takeover only when it dispatches SelectionClear, so ask the server.
const OwnedContents* currentOwnContents()
{
    if (!gOwnedContents) return nullptr;
    if (!gdk_selection_owner_get_for_display(gdk_display_get_default(), GDK_SELECTION_CLIPBOARD)) return nullptr;
    return gOwnedContents;
}

bool offer(GtkClipboard* clipboard, OwnedContents* contents)
{
    GtkTargetList* list = gtk_target_list_new(nullptr, 0);
    if (contents->text) {
        gtk_target_list_add_text_targets(list, 0);
    } else {
        gtk_target_list_add(list, gdk_atom_intern(contents->type.c_str(), FALSE), 0, 0);
    }
    gint count = 0;
    GtkTargetEntry* entries = gtk_target_table_new_from_list(list, &count);
    gtk_target_list_unref(list);
    // Replacing the contents releases the previous ones first.
    const bool owned = gtk_clipboard_set_with_data(clipboard, entries, static_cast<guint>(count), provideContents,
                                                   releaseContents, contents);
    gtk_target_table_free(entries, count);
    if (!owned) {
        delete contents;
        return false;
    }
    gOwnedContents = contents;
    return true;
}

}  // namespace

std::optional<std::string> clipboardReadText()
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return std::nullopt;
    if (const OwnedContents* own = currentOwnContents()) {
        if (own->text) return own->bytes;
    }
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
    if (const OwnedContents* own = currentOwnContents()) {
        if (own->text ? (type == kUtf8TextType || type == "UTF8_STRING") : type == own->type) return own->bytes;
    }
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
    if (!clipboard || text.size() > static_cast<size_t>(G_MAXINT)) return false;
    return offer(clipboard, new OwnedContents{true, kUtf8TextType, text});
}

bool clipboardWriteData(const std::string& type, std::string data)
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard || data.size() > static_cast<size_t>(G_MAXINT)) return false;
    return offer(clipboard, new OwnedContents{false, type, std::move(data)});
}

}  // namespace quendal::ui
