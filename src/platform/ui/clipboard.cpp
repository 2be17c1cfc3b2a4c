#include "platform/ui/clipboard.hpp"

#include <algorithm>
#include <memory>

#include <gtk/gtk.h>

#include "platform/ui/gtk_init.hpp"

namespace quendal::ui {
namespace {

constexpr const char* kUtf8TextType = "text/plain;charset=utf-8";
constexpr gint64 kReadTimeoutMs = 2000;

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
    std::optional<std::string> text;                         // offered under every text target
    std::vector<std::pair<std::string, std::string>> data;  // (type, bytes), each under its own target
};

// Target info numbers: the text, or 1 + the index of an entry of data.
constexpr guint kTextInfo = 0;

OwnedContents* gOwnedContents = nullptr;

void provideContents(GtkClipboard*, GtkSelectionData* selection, guint info, gpointer owner)
{
    const auto* contents = static_cast<const OwnedContents*>(owner);
    if (info == kTextInfo) {
        if (contents->text) {
            gtk_selection_data_set_text(selection, contents->text->data(), static_cast<gint>(contents->text->size()));
        }
        return;
    }
    if (info - 1 >= contents->data.size()) return;
    const auto& [type, bytes] = contents->data[info - 1];
    gtk_selection_data_set(selection, gdk_atom_intern(type.c_str(), FALSE), 8,
                           reinterpret_cast<const guchar*>(bytes.data()), static_cast<gint>(bytes.size()));
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
    // Typed data first: a peer that takes the first target it knows gets the
    // richest form (a list of links rather than their text).
    for (guint i = 0; i < contents->data.size(); ++i) {
        gtk_target_list_add(list, gdk_atom_intern(contents->data[i].first.c_str(), FALSE), 0, i + 1);
    }
    if (contents->text) gtk_target_list_add_text_targets(list, kTextInfo);
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

// One read from the clipboard's owner, bounded in time. GTK itself gives up on a
// silent owner only after 30 s, blocking the main thread all along; here the
// caller gets nothing after kReadTimeoutMs and GTK's late answer is dropped.
struct PendingRead {
    bool done = false;
    bool abandoned = false;
    std::optional<std::string> bytes;
    std::vector<std::string> targets;
};

void finishRead(PendingRead* pending)
{
    if (pending->abandoned) {
        delete pending;
        return;
    }
    pending->done = true;
}

void receivedText(GtkClipboard*, const gchar* text, gpointer data)
{
    auto* pending = static_cast<PendingRead*>(data);
    if (text && !pending->abandoned) {
        // GTK converts from every text target; what a peer sent may still be malformed.
        gchar* valid = g_utf8_make_valid(text, -1);
        pending->bytes.emplace(valid);
        g_free(valid);
    }
    finishRead(pending);
}

void receivedContents(GtkClipboard*, GtkSelectionData* selection, gpointer data)
{
    auto* pending = static_cast<PendingRead*>(data);
    const gint length = selection ? gtk_selection_data_get_length(selection) : -1;
    if (length >= 0 && !pending->abandoned) {
        pending->bytes.emplace(reinterpret_cast<const char*>(gtk_selection_data_get_data(selection)),
                               static_cast<size_t>(length));
    }
    finishRead(pending);
}

void receivedTargets(GtkClipboard*, GdkAtom* targets, gint count, gpointer data)
{
    auto* pending = static_cast<PendingRead*>(data);
    for (gint i = 0; i < count && !pending->abandoned; ++i) {
        gchar* name = gdk_atom_name(targets[i]);
        // Atom names are bytes to X; only well-formed UTF-8 can reach Python.
        if (name && !isProtocolTarget(name) && g_utf8_validate(name, -1, nullptr)) {
            pending->targets.emplace_back(name);
        }
        g_free(name);
    }
    finishRead(pending);
}

// Starts a read with start(pending) and turns the main context until it is
// answered or the time is up. Returns the finished read, or null after a timeout.
template <typename Start>
std::unique_ptr<PendingRead> boundedRead(Start start)
{
    auto* pending = new PendingRead;
    start(pending);
    const gint64 deadline = g_get_monotonic_time() + kReadTimeoutMs * 1000;
    while (!pending->done) {
        const gint64 left = deadline - g_get_monotonic_time();
        if (left <= 0) {
            pending->abandoned = true;  // GTK's callback frees it
            return nullptr;
        }
        // One blocking iteration, woken at the latest by the timer.
        GSource* timer = g_timeout_source_new(static_cast<guint>(std::min<gint64>(left / 1000 + 1, 50)));
        g_source_set_callback(timer, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(timer, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        g_source_destroy(timer);
        g_source_unref(timer);
    }
    return std::unique_ptr<PendingRead>(pending);
}

}  // namespace

std::optional<std::string> clipboardReadText()
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return std::nullopt;
    if (const OwnedContents* own = currentOwnContents()) {
        if (own->text) return own->text;
    }
    auto read = boundedRead([&](PendingRead* pending) { gtk_clipboard_request_text(clipboard, receivedText, pending); });
    return read ? std::move(read->bytes) : std::nullopt;
}

std::vector<std::string> clipboardTypes()
{
    std::vector<std::string> types;
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return types;
    // Ask the owner each time (gtk_clipboard_request_targets would answer from
    // a cache that goes stale until the owner-change event is dispatched).
    auto read = boundedRead([&](PendingRead* pending) {
        gtk_clipboard_request_contents(clipboard, gdk_atom_intern_static_string("TARGETS"),
                                       [](GtkClipboard* c, GtkSelectionData* selection, gpointer data) {
                                           GdkAtom* targets = nullptr;
                                           gint count = 0;
                                           if (!selection || !gtk_selection_data_get_targets(selection, &targets, &count)) {
                                               count = 0;
                                           }
                                           receivedTargets(c, targets, count, data);
                                           g_free(targets);
                                       },
                                       pending);
    });
    if (read) types = std::move(read->targets);
    return types;
}

std::optional<std::string> clipboardReadData(const std::string& type)
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return std::nullopt;
    if (const OwnedContents* own = currentOwnContents()) {
        if (own->text && (type == kUtf8TextType || type == "UTF8_STRING")) return own->text;
        for (const auto& [ownType, bytes] : own->data) {
            if (ownType == type) return bytes;
        }
    }
    auto read = boundedRead([&](PendingRead* pending) {
        gtk_clipboard_request_contents(clipboard, gdk_atom_intern(type.c_str(), FALSE), receivedContents, pending);
    });
    return read ? std::move(read->bytes) : std::nullopt;
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
    return clipboardWrite(text, {});
}

bool clipboardWriteData(const std::string& type, std::string data)
{
    return clipboardWrite(std::nullopt, {{type, std::move(data)}});
}

bool clipboardWrite(std::optional<std::string> text, std::vector<std::pair<std::string, std::string>> data)
{
    GtkClipboard* clipboard = generalClipboard();
    if (!clipboard) return false;
    if (text && text->size() > static_cast<size_t>(G_MAXINT)) return false;
    for (const auto& entry : data) {
        if (entry.second.size() > static_cast<size_t>(G_MAXINT)) return false;
    }
    return offer(clipboard, new OwnedContents{std::move(text), std::move(data)});
}

}  // namespace quendal::ui
