// ZIP extraction in process, refusing archives that would write or point outside the folder.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

namespace solvera {

// Extracts the whole archive into destination (an existing folder). An entry with an absolute
// path or a ".." component, a hard link, a device or other special file, or a symbolic link
// that resolves outside the destination refuses the whole archive. False with a description
// on any failure; the caller removes whatever was written. cancelled, when set, stops early.
[[nodiscard]] bool extractZipArchive(const std::filesystem::path& archive,
                                     const std::filesystem::path& destination,
                                     std::string* error = nullptr,
                                     const std::atomic<bool>* cancelled = nullptr);

}  // namespace solvera
