// Session files as a user might pick them: any bytes on disk, read by the import and handed to
// the page as a script string literal that must give the same text back.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/json.hpp"
#include "content/session_files.hpp"

namespace {

std::filesystem::path scratchFile() {
  static const std::filesystem::path file = [] {
    auto folder = std::filesystem::temp_directory_path() /
                  ("solvera-fuzz-session-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    return folder / "picked.svpsession";
  }();
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace solvera;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(scratchFile(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const auto text = readSessionFile(scratchFile());
  const bool acceptable = bytes.size() <= kSessionFileMaxBytes && isValidUtf8(bytes);
  if (text.has_value() != acceptable) std::abort();
  if (!text) return 0;
  if (*text != bytes) std::abort();
  // The literal is also a JSON string: decoding it must give the text back unchanged.
  const std::string literal = javascriptString(*text);
  const auto decoded = parseJson(literal);
  if (!decoded || !decoded->is_string() || decoded->get<std::string>() != *text) std::abort();
  const std::string script = pagecall::sessionFileImported(true, *text);
  if (script.find(literal) == std::string::npos) std::abort();
  return 0;
}
