// The application bundle: the directory named by QUENDAL_BUNDLE (set by a host
// launcher), else the directory of the running executable.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace quendal {

// Empty when neither is known. Read afresh on every call.
std::string bundlePath();

// The main bundle as the process first saw it: looked up once, on first use,
// and fixed for the rest of the process. Any thread.
struct MainBundle {
    std::string path;       // absolute, without a trailing separator; empty when unknown
    std::string extension;  // of the directory's name, without the dot, as written
    std::string name;       // "CFBundleName" of Info.json, else the directory's name without its extension
    // The string values among Info.json's top-level keys; empty when the file
    // is absent or not a JSON object.
    std::map<std::string, std::string> info;

    // The string under key in Info.json, empty when absent or not a string.
    std::string infoString(const std::string& key) const;
    std::string identifier() const { return infoString("CFBundleIdentifier"); }
    // An application bundle: a non-empty identifier and a directory named *.app
    // (any letter case).
    bool isApplication() const;
};

const MainBundle& mainBundle();

// The string under key in the Info.json of the bundle that bundlePath() names
// now; empty when the file is missing or unreadable, or the value is absent or
// not a string. Read afresh on every call, for settings a request reads at the
// moment it asks (the location usage text and desktop id).
std::optional<std::string> bundleInfoString(const std::string& key);

}  // namespace quendal
