// Key-file preferences: one group, text values.
#include "platform/keyfile_preferences.hpp"

#include <glib.h>

namespace solvera::platform {
namespace {
constexpr const char* kGroup = "preferences";

GKeyFile* loaded(const std::filesystem::path& file) {
  GKeyFile* keys = g_key_file_new();
  g_key_file_load_from_file(keys, file.c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
  return keys;
}
}  // namespace

std::optional<std::string> KeyFilePreferences::string(const std::string& key) {
  GKeyFile* keys = loaded(file_);
  gchar* value = g_key_file_get_string(keys, kGroup, key.c_str(), nullptr);
  std::optional<std::string> out;
  if (value) out = value;
  g_free(value);
  g_key_file_free(keys);
  return out;
}

void KeyFilePreferences::setString(const std::string& key, const std::string& value) {
  GKeyFile* keys = loaded(file_);
  g_key_file_set_string(keys, kGroup, key.c_str(), value.c_str());
  std::error_code ignored;
  std::filesystem::create_directories(file_.parent_path(), ignored);
  g_key_file_save_to_file(keys, file_.c_str(), nullptr);
  g_key_file_free(keys);
}

}  // namespace solvera::platform
