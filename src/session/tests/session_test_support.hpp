// Helpers shared by the session tests: the source folder, a scratch folder, programs on PATH.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "common/json.hpp"

namespace solvera::session {

// The repository (SOLVERA_SOURCE_DIR, as the test runner sets it, else the build's own).
std::filesystem::path sourceDir();

// The full path of a program found on PATH, or "" when there is none.
std::string findOnPath(const std::string& program);

// Asks the page's own modules (page_reference.mjs under node) the questions; nothing when node
// is not installed. A failing run ends the test with the script's output.
std::optional<Json> askPage(const Json& questions);
inline constexpr const char* kNoNode = "node is not installed: the page's own modules cannot be run for comparison";

// A fresh folder, removed with everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace solvera::session
