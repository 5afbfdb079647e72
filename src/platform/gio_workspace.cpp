// Opening addresses and files with g_app_info_launch_default_for_uri.
#include "platform/gio_workspace.hpp"

#include <gio/gio.h>

namespace solvera::platform {

bool GioWorkspace::openURL(const std::string& url) {
  return g_app_info_launch_default_for_uri(url.c_str(), nullptr, nullptr);
}

bool GioWorkspace::openFile(const std::filesystem::path& file) {
  gchar* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
  if (!uri) return false;
  bool ok = g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
  g_free(uri);
  return ok;
}

}  // namespace solvera::platform
