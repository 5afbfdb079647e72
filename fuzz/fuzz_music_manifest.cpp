// Music library manifests as a downloaded or user-chosen package might carry them: any bytes
// as manifest.json beside a few real files. A manifest is valid only when every track names
// an existing file inside the package.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "content/music_library.hpp"

namespace {

namespace fs = std::filesystem;

// package/ with two tracks and a cover, a secret beside it that no manifest may reach.
fs::path packageFolder() {
  static const fs::path folder = [] {
    const fs::path base =
        fs::temp_directory_path() / ("solvera-fuzz-manifest-" + std::to_string(::getpid()));
    fs::create_directories(base / "parent" / "package" / "tracks");
    for (const char* name : {"tracks/01.mp3", "tracks/02.mp3", "cover.jpg"}) {
      std::ofstream(base / "parent" / "package" / name) << "x";
    }
    std::ofstream(base / "parent" / "secret.mp3") << "x";
    return base / "parent" / "package";
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace solvera;
  const fs::path package = packageFolder();
  {
    std::ofstream out(package / "manifest.json", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  const auto tracks = validMusicLibraryTrackCount(package);
  if (tracks && *tracks == 0) std::abort();
  // The parent holds no manifest: only the package can be found in it, and only when valid.
  const auto found = musicLibraryPackageURL(package.parent_path());
  if (found.has_value() != tracks.has_value()) std::abort();
  if (found && *found != package) std::abort();
  return 0;
}
