// Writing a whole file so that readers see the old content or the new, never a part.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace solvera {

// Writes bytes to a new file beside the target and renames it over the target. The new file
// gets mode (less the umask). False when anything failed; the target is then unchanged.
[[nodiscard]] bool writeFileAtomically(const std::filesystem::path& file, std::string_view bytes,
                                       mode_t mode = 0666);

// A name for a file made from a text the page chose: "/" and ":" (and NUL) become "-".
std::string fileNameSafe(std::string text);

}  // namespace solvera
