// Music library files: validation, package search, digest, installation into place.
#include "content/music_library.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "common/files.hpp"
#include "common/json.hpp"

namespace solvera {
namespace fs = std::filesystem;

namespace {

// A track path names a file inside the package: relative, never climbing out.
bool isPackageFile(const fs::path& root, const Json& value) {
  if (!value.is_string()) return false;
  const auto& path = value.get_ref<const std::string&>();
  if (path.find("..") != std::string::npos) return false;
  if (path.starts_with("/")) return false;
  // A NUL would end the path early at the system call and test another file.
  if (path.find('\0') != std::string::npos) return false;
  std::error_code ec;
  auto status = fs::status(root / path, ec);
  return !ec && fs::exists(status) && !fs::is_directory(status);
}

// Present in any form, a dangling link included.
bool present(const fs::path& p) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(p, ignored));
}

bool isHidden(const fs::path& entry) {
  return entry.filename().string().starts_with(".");
}

}  // namespace

std::optional<std::size_t> validMusicLibraryTrackCount(const fs::path& root) {
  auto text = readWholeFile(root / "manifest.json");
  if (!text) return std::nullopt;
  auto manifest = parseJson(*text);
  if (!manifest || !manifest->is_object()) return std::nullopt;
  auto format = manifest->find("format");
  if (format == manifest->end() || !format->is_string() ||
      format->get_ref<const std::string&>() != kMusicLibraryFormat) {
    return std::nullopt;
  }
  auto tracks = manifest->find("tracks");
  if (tracks == manifest->end() || !tracks->is_array() || tracks->empty()) return std::nullopt;
  for (const auto& track : *tracks) {
    if (!track.is_object()) return std::nullopt;
    auto file = track.find("file");
    auto cover = track.find("cover");
    if (file == track.end() || cover == track.end()) return std::nullopt;
    if (!isPackageFile(root, *file) || !isPackageFile(root, *cover)) return std::nullopt;
  }
  return tracks->size();
}

std::optional<fs::path> musicLibraryPackageURL(const fs::path& folder) {
  if (validMusicLibraryTrackCount(folder)) return folder;
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;
  std::vector<fs::path> children;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (!isHidden(it->path())) children.push_back(it->path());
  }
  if (ec) return std::nullopt;
  // Directory order is arbitrary; sorting makes the choice the same on every machine.
  std::sort(children.begin(), children.end());
  for (const auto& child : children) {
    if (validMusicLibraryTrackCount(child)) return child;
  }
  return std::nullopt;
}

std::optional<std::string> sha256(const fs::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // OpenSSL uses the processor's SHA instructions: several times GLib's plain C digest.
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  bool failed = !context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1;
  std::vector<unsigned char> chunk(failed ? 0 : kDigestChunkBytes);
  while (!failed) {
    ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      failed = true;
      break;
    }
    if (n == 0) break;
    failed = EVP_DigestUpdate(context.get(), chunk.data(), static_cast<std::size_t>(n)) != 1;
  }
  ::close(fd);  // close errors do not change what was read
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (failed || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0x0f]);
  }
  return text;
}

fs::path musicLibraryStagingURL(const fs::path& target) {
  return target.parent_path() / (target.filename().string() + ".installing");
}

std::error_code installMusicLibraryIntoPlace(const fs::path& package, const fs::path& target) {
  const fs::path parent = target.parent_path();
  const fs::path staging = musicLibraryStagingURL(target);
  std::error_code ec;
  fs::create_directories(parent, ec);
  if (ec) return ec;
  // Copying a folder into a place inside itself would never end.
  fs::path from = fs::weakly_canonical(package, ec);
  if (ec) return ec;
  fs::path into = fs::weakly_canonical(parent, ec);
  if (ec) return ec;
  auto [end, rest] = std::mismatch(from.begin(), from.end(), into.begin(), into.end());
  if (end == from.end()) return std::make_error_code(std::errc::invalid_argument);

  if (present(staging)) {
    fs::remove_all(staging, ec);
    if (ec) return ec;
  }
  fs::copy(package, staging, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
  if (ec) return ec;
  if (present(target)) {
    fs::remove_all(target, ec);
    if (ec) return ec;
  }
  fs::rename(staging, target, ec);
  return ec;
}

}  // namespace solvera
