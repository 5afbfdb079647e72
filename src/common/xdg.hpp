// The user's folders (XDG base directories) and the files this program keeps in them.
#pragma once

#include <filesystem>
#include <string>

namespace solvera::xdg {

std::filesystem::path configHome();  // $XDG_CONFIG_HOME or ~/.config
std::filesystem::path dataHome();    // $XDG_DATA_HOME or ~/.local/share
std::filesystem::path stateHome();   // $XDG_STATE_HOME or ~/.local/state

// <data>/Solvera Pro/Music Library
std::filesystem::path musicLibraryDir();
// <config>/<display name>/preferences.ini
std::filesystem::path preferencesFile(const std::string& productDisplayName);
// <state>/<display name>-input.log
std::filesystem::path inputLogFile(const std::string& productDisplayName);

}  // namespace solvera::xdg
