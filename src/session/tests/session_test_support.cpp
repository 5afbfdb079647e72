// Helpers shared by the session tests.
#include "session/tests/session_test_support.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "common/files.hpp"

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

namespace {

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

std::optional<Json> askPage(const Json& questions) {
  const std::string node = findOnPath("node");
  if (node.empty()) return std::nullopt;
  ScratchDir scratch;
  const fs::path input = scratch.path() / "questions.json";
  if (!writeFileAtomically(input, questions.dump())) throw std::runtime_error("cannot write the questions");
  const fs::path source = sourceDir();
  const std::string command = shellQuoted(node) + " " + shellQuoted((source / "src/session/tests/page_reference.mjs").string()) +
                              " " + shellQuoted((source / "public/js").string()) + " " + shellQuoted(input.string()) + " 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run node");
  char buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  ::pclose(pipe);
  std::optional<Json> answer = parseJson(output);
  if (!answer) throw std::runtime_error("the page's modules gave no answer: " + output.substr(0, 2000));
  return answer;
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
