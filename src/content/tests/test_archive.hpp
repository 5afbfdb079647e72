// Test material: ZIP archives built with libarchive's writer, and music library folders.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace solvera::test {

struct ArchiveEntry {
  enum class Type { file, folder, symlink };
  std::string path;
  std::string data;  // file content, or the link target
  Type type = Type::file;
  unsigned mode = 0;  // permission bits as stored; 0 = the usual ones for the type
};

// The bytes of a ZIP archive holding the entries in order, names stored as written.
std::string buildZip(const std::vector<ArchiveEntry>& entries);

// A manifest and its files for a library of `tracks` tracks, below prefix ("" = the root).
std::vector<ArchiveEntry> libraryEntries(std::size_t tracks, const std::string& prefix = "");

// The same library written into a folder.
void writeLibrary(const std::filesystem::path& folder, std::size_t tracks);

// The content of track i's audio file.
std::string trackBytes(std::size_t i);

}  // namespace solvera::test
