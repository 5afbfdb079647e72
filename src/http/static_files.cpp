// The static file reply: web interface files and the installed music library.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "http/http.hpp"

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

// The open file and its size, for a regular file only.
std::shared_ptr<FileBody> openRegularFile(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_shared<FileBody>(fd, static_cast<std::uint64_t>(st.st_size));
}

const std::string kNotFound = "Not found";

}  // namespace

FileBody::~FileBody() {
  ::close(fd);
}

std::string Response::flattened() const {
  std::string out = bytes;
  if (!file) return out;
  std::size_t start = out.size();
  out.resize(start + file->length);
  std::uint64_t filled = 0;
  while (filled < file->length) {
    ssize_t n = ::pread(file->fd, out.data() + start + filled, file->length - filled,
                        static_cast<off_t>(filled));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the file shrank: what was there
    filled += static_cast<std::uint64_t>(n);
  }
  out.resize(start + filled);
  return out;
}

std::string staticResponse(std::string_view path, const fs::path& root,
                           const fs::path& musicLibrary) {
  return staticFileResponse(path, root, musicLibrary).flattened();
}

Response staticFileResponse(std::string_view path, const fs::path& root,
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

  auto notFound = [] {
    return Response{httpResponse("404 Not Found", "text/plain; charset=utf-8", kNotFound), nullptr};
  };
  // A NUL would cut the path short at the system call, past the containment check.
  if (relative.find('\0') != std::string::npos) return notFound();

  std::string baseResolved = resolved(*base);
  std::string file = resolved(*base / relative);
  while (baseResolved.size() > 1 && baseResolved.back() == '/') baseResolved.pop_back();
  bool allowed = file == baseResolved || file.starts_with(baseResolved + "/");
  if (!allowed) return notFound();
  auto body = openRegularFile(file);
  if (!body) return notFound();
  // The head announces the size found now; the connection sends exactly that many bytes.
  std::string head = httpHead("200 OK", mimeType(file), body->length);
  return Response{std::move(head), std::move(body)};
}

}  // namespace solvera::http
