// The system clipboard (the X11 CLIPBOARD selection) through GTK. Type
// identifiers are MIME types ("text/plain;charset=utf-8", "image/png", ...).
// Main thread only. Without a display reads find nothing and writes fail.
//
// What this process writes is served to other programs for as long as the
// process lives and its main context is iterated.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quendal::ui {

std::optional<std::string> clipboardReadText();
// The types currently offered, without the selection protocol's own targets.
std::vector<std::string> clipboardTypes();
std::optional<std::string> clipboardReadData(const std::string& type);

// Clears whichever program owns the clipboard.
void clipboardClear();
bool clipboardWriteText(const std::string& text);
bool clipboardWriteData(const std::string& type, std::string data);
// Several forms of the same contents at once: text under every text target and
// each (type, bytes) entry under its own type.
bool clipboardWrite(std::optional<std::string> text, std::vector<std::pair<std::string, std::string>> data);

}  // namespace quendal::ui
