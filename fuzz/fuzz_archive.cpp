// Music package archives as a hostile download or a user's own file might be: whatever the
// bytes, extraction writes nothing outside its folder, and an extraction that succeeds leaves
// no link that resolves outside it.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "content/zip_extract.hpp"

namespace {

namespace fs = std::filesystem;

// base/ holds the archive, the destination and a bystander folder; nothing else may appear.
const fs::path& baseFolder() {
  static const fs::path base = [] {
    const fs::path folder =
        fs::temp_directory_path() / ("solvera-fuzz-archive-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder / "bystander");
    return fs::canonical(folder);
  }();
  return base;
}

bool isInside(const fs::path& candidate, const fs::path& folder) {
  auto [f, c] = std::mismatch(folder.begin(), folder.end(), candidate.begin(), candidate.end());
  return f == folder.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path& base = baseFolder();
  const fs::path archive = base / "package.zip";
  const fs::path destination = base / "out";
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  fs::create_directories(destination);
  std::string error;
  const bool extracted = solvera::extractZipArchive(archive, destination, &error);

  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(base)) {
    const auto name = entry.path().filename();
    if (name != "package.zip" && name != "out" && name != "bystander") std::abort();
    ++entries;
  }
  if (entries != 3 || !fs::is_empty(base / "bystander")) std::abort();
  if (!fs::is_directory(fs::symlink_status(destination))) std::abort();
  if (extracted) {
    for (auto it = fs::recursive_directory_iterator(destination);
         it != fs::recursive_directory_iterator(); ++it) {
      if (!it->is_symlink()) continue;
      std::error_code ec;
      const fs::path resolved = fs::weakly_canonical(it->path(), ec);
      if (ec || !isInside(resolved, destination)) std::abort();
    }
  } else if (error.empty()) {
    std::abort();  // a refusal always says why
  }
  fs::remove_all(destination);
  return 0;
}
