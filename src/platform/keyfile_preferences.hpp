// Preferences in a GLib key file ($XDG_CONFIG_HOME/<display name>/preferences.ini).
#pragma once

#include "platform/platform.hpp"

namespace solvera::platform {

class KeyFilePreferences : public Preferences {
 public:
  explicit KeyFilePreferences(std::filesystem::path file) : file_(std::move(file)) {}
  std::optional<std::string> string(const std::string& key) override;
  // Written at once (atomically); a failed write is silent, like the system's defaults.
  void setString(const std::string& key, const std::string& value) override;

 private:
  std::filesystem::path file_;
};

}  // namespace solvera::platform
