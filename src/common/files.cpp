// Whole-file reads, atomic writes over a temporary file and rename(2), appends.
#include "common/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

#include "common/random.hpp"

namespace solvera {
namespace fs = std::filesystem;

std::optional<std::string> readWholeFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(bytes).str();
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool writeFileAtomically(const fs::path& file, std::string_view bytes, mode_t mode) {
  if (file.filename().empty()) return false;
  // The system call would stop at a NUL and write another file.
  if (file.native().find('\0') != std::string::npos) return false;
  const fs::path dir = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  fs::path temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 5 && fd < 0; ++attempt) {
    temporary = dir / ("." + file.filename().string() + "." + randomHexToken().substr(0, 12));
    // O_EXCL: never reuse or follow something another process placed under this name.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temporary.c_str(), file.c_str()) == 0;
  if (!ok) {
    ::unlink(temporary.c_str());
    return false;
  }
  // Make the rename itself survive a power cut; failure here does not undo the write.
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

bool appendToFile(const fs::path& file, std::string_view bytes, mode_t mode) {
  int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT && writeFileAtomically(file, bytes, mode);
  bool ok = writeAll(fd, bytes);
  return ::close(fd) == 0 && ok;
}

std::string fileNameSafe(std::string text) {
  std::replace(text.begin(), text.end(), '/', '-');
  std::replace(text.begin(), text.end(), ':', '-');
  // No file name can hold a NUL; the system call would cut the name there.
  std::replace(text.begin(), text.end(), '\0', '-');
  return text;
}

}  // namespace solvera
