// The static file reply: web interface files and the installed music library.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "server/http.hpp"

namespace solvera::http {
namespace fs = std::filesystem;

namespace {

std::string_view trimSlashes(std::string_view s) {
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return s;
}

// Removes "." and ".." and resolves symbolic links as far as the path exists. realpath(3)
// does it in one call for an existing path; only a missing one takes the slower way.
std::string resolved(const fs::path& p) {
  if (char* real = ::realpath(p.c_str(), nullptr)) {
    std::string out(real);
    std::free(real);
    return out;
  }
  std::error_code ec;
  fs::path out = fs::weakly_canonical(p, ec);
  return ec ? p.lexically_normal().string() : out.string();
}

std::optional<std::string> readWholeFile(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::optional<std::string> out;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t filled = 0;
    bool failed = false;
    while (true) {
      if (filled == bytes.size()) bytes.resize(bytes.size() + 65536);  // the file grew
      ssize_t n = ::read(fd, bytes.data() + filled, bytes.size() - filled);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed = true;
      if (n <= 0) break;
      filled += static_cast<std::size_t>(n);
    }
    if (!failed) {
      bytes.resize(filled);
      out = std::move(bytes);
    }
  }
  ::close(fd);
  return out;
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

  std::string baseResolved = resolved(*base);
  std::string file = resolved(*base / relative);
  while (baseResolved.size() > 1 && baseResolved.back() == '/') baseResolved.pop_back();
  bool allowed = file == baseResolved || file.starts_with(baseResolved + "/");
  if (!allowed) return notFound();
  auto contents = readWholeFile(file);
  if (!contents) return notFound();
  return httpResponse("200 OK", mimeType(file), *contents);
}

}  // namespace solvera::http
