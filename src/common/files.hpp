// Whole-file reads and writes: readers see a file's old content or its new, never a part.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace solvera {

// The file's bytes, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& file);

// Writes bytes to a new file beside the target and renames it over the target. The new file
// gets mode (less the umask). False when anything failed; the target is then unchanged.
[[nodiscard]] bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                                       mode_t mode = 0666);

// Appends bytes to an existing file; a file that does not exist yet appears whole, as
// writeFileAtomically writes it. The folder must exist. False when anything failed.
bool appendToFile(const std::filesystem::path& file, std::string_view bytes, mode_t mode = 0666);

// Writes all bytes to a descriptor, continuing after interruptions and short writes.
bool writeAll(int fd, std::string_view bytes);

// A name for a file made from a text the page chose: "/" and ":" (and NUL) become "-".
std::string fileNameSafe(std::string text);

}  // namespace solvera
