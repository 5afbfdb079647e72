// Helpers shared by the session tests.
#include "session/tests/session_test_support.hpp"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace solvera::session {
namespace fs = std::filesystem;

fs::path sourceDir() {
  if (const char* dir = std::getenv("SOLVERA_SOURCE_DIR"); dir && *dir) return dir;
  return SOLVERA_TEST_SOURCE_DIR;
}

std::string findOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path ? path : "");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    fs::path candidate = fs::path(folder) / program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return "";
}

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "solvera-session-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

}  // namespace solvera::session
