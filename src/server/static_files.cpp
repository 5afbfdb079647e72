// The static file reply: web interface files and the installed music library.
#include <fstream>
#include <sstream>

#include "server/http.hpp"

namespace solvera::http {
namespace fs = std::filesystem;

namespace {

std::string_view trimSlashes(std::string_view s) {
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return s;
}

// Removes "." and ".." and resolves symbolic links as far as the path exists.
fs::path resolved(const fs::path& p) {
  std::error_code ec;
  fs::path out = fs::weakly_canonical(p, ec);
  return ec ? p.lexically_normal() : out;
}

std::optional<std::string> readWholeFile(const fs::path& file) {
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(bytes).str();
}

const std::string kNotFound = "Not found";

}  // namespace

std::string staticResponse(std::string_view path, const fs::path& root,
                           const fs::path& musicLibrary) {
  std::string relative;
  if (auto decoded = percentDecode(path)) {
    relative = std::string(trimSlashes(*decoded));
  } else {
    relative = "index.html";
  }
  const fs::path* base = &root;
  constexpr std::string_view kLibrary = "music-library";
  if (relative == kLibrary || relative.starts_with("music-library/")) {
    base = &musicLibrary;
    relative = std::string(trimSlashes(std::string_view(relative).substr(kLibrary.size())));
  }

  auto notFound = [] { return httpResponse("404 Not Found", "text/plain; charset=utf-8", kNotFound); };
  // A NUL would cut the path short at the system call, past the containment check.
  if (relative.find('\0') != std::string::npos) return notFound();

  std::string baseResolved = resolved(*base).string();
  std::string file = resolved(*base / relative).string();
  while (baseResolved.size() > 1 && baseResolved.back() == '/') baseResolved.pop_back();
  bool allowed = file == baseResolved || file.starts_with(baseResolved + "/");
  if (!allowed) return notFound();
  auto contents = readWholeFile(file);
  if (!contents) return notFound();
  return httpResponse("200 OK", mimeType(file), *contents);
}

}  // namespace solvera::http
