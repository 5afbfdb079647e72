// XDG base directories, read from the environment at each call so tests can redirect them.
#include "common/xdg.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace solvera::xdg {
namespace fs = std::filesystem;

namespace {

fs::path home() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

// An XDG variable counts only when it holds an absolute path.
fs::path fromEnv(const char* name, const fs::path& fallback) {
  const char* value = std::getenv(name);
  if (value && value[0] == '/') return value;
  return home() / fallback;
}

}  // namespace

fs::path configHome() { return fromEnv("XDG_CONFIG_HOME", ".config"); }
fs::path dataHome() { return fromEnv("XDG_DATA_HOME", ".local/share"); }
fs::path stateHome() { return fromEnv("XDG_STATE_HOME", ".local/state"); }

fs::path musicLibraryDir() { return dataHome() / "Solvera Pro" / "Music Library"; }
fs::path preferencesFile(const std::string& name) { return configHome() / name / "preferences.ini"; }
fs::path inputLogFile(const std::string& name) { return stateHome() / (name + "-input.log"); }

}  // namespace solvera::xdg
