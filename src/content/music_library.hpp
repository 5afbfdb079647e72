// The music library on disk: manifest check, package search, archive digest, and putting a
// validated package into place.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace solvera {

inline constexpr const char* kMusicLibraryFormat = "solvera-music-library";
inline constexpr std::size_t kDigestChunkBytes = std::size_t{4} * 1024 * 1024;

// The number of tracks when root/manifest.json describes a complete library, else nothing.
std::optional<std::size_t> validMusicLibraryTrackCount(const std::filesystem::path& root);

// The folder itself when it validates, else its first valid non-hidden child (one level
// only), else nothing.
std::optional<std::filesystem::path> musicLibraryPackageURL(const std::filesystem::path& folder);

// The file's SHA-256 as 64 lowercase hexadecimal digits; read in 4 MiB chunks so that the
// whole archive is never in memory. Nothing when the file cannot be read.
std::optional<std::string> sha256(const std::filesystem::path& file);

// "<parent>/<name>.installing" beside the library folder.
std::filesystem::path musicLibraryStagingURL(const std::filesystem::path& target);

// Copies the package to the staging folder, removes the old library and moves the staging
// folder into its place. The first file-system error stops the sequence and is returned.
[[nodiscard]] std::error_code installMusicLibraryIntoPlace(const std::filesystem::path& package,
                                                           const std::filesystem::path& target);

}  // namespace solvera
