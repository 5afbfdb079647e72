// Building test archives and libraries.
#include "content/tests/test_archive.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <fstream>
#include <stdexcept>

namespace solvera::test {
namespace fs = std::filesystem;

namespace {

la_ssize_t appendBytes(archive*, void* client, const void* data, size_t size) {
  static_cast<std::string*>(client)->append(static_cast<const char*>(data), size);
  return static_cast<la_ssize_t>(size);
}

std::string manifest(std::size_t tracks) {
  std::string out = R"({"format":"solvera-music-library","title":"Kern","tracks":[)";
  for (std::size_t i = 0; i < tracks; ++i) {
    if (i) out += ",";
    out += R"({"file":"tracks/)" + std::to_string(i) + R"(.mp3","cover":"covers/)" +
           std::to_string(i) + R"(.jpg","title":"Nummer )" + std::to_string(i) + "\"}";
  }
  return out + "]}";
}

}  // namespace

std::string trackBytes(std::size_t i) {
  return "ID3 audio of track " + std::to_string(i);
}

std::string buildZip(const std::vector<ArchiveEntry>& entries) {
  std::string bytes;
  archive* a = archive_write_new();
  archive_write_set_format_zip(a);
  if (archive_write_open(a, &bytes, nullptr, appendBytes, nullptr) != ARCHIVE_OK) {
    throw std::runtime_error(archive_error_string(a));
  }
  for (const auto& e : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.path.c_str());
    switch (e.type) {
      case ArchiveEntry::Type::file:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, e.mode ? e.mode : 0644);
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.data.size()));
        break;
      case ArchiveEntry::Type::folder:
        archive_entry_set_filetype(entry, AE_IFDIR);
        archive_entry_set_perm(entry, e.mode ? e.mode : 0755);
        break;
      case ArchiveEntry::Type::symlink:
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_perm(entry, 0777);
        archive_entry_set_symlink(entry, e.data.c_str());
        break;
    }
    if (archive_write_header(a, entry) != ARCHIVE_OK) {
      throw std::runtime_error(archive_error_string(a));
    }
    if (e.type == ArchiveEntry::Type::file && !e.data.empty()) {
      archive_write_data(a, e.data.data(), e.data.size());
    }
    archive_entry_free(entry);
  }
  archive_write_close(a);
  archive_write_free(a);
  return bytes;
}

std::vector<ArchiveEntry> libraryEntries(std::size_t tracks, const std::string& prefix) {
  std::vector<ArchiveEntry> entries;
  entries.push_back({prefix + "manifest.json", manifest(tracks)});
  for (std::size_t i = 0; i < tracks; ++i) {
    entries.push_back({prefix + "tracks/" + std::to_string(i) + ".mp3", trackBytes(i)});
    entries.push_back({prefix + "covers/" + std::to_string(i) + ".jpg", "JFIF cover"});
  }
  return entries;
}

void writeLibrary(const fs::path& folder, std::size_t tracks) {
  for (const auto& e : libraryEntries(tracks)) {
    fs::create_directories((folder / e.path).parent_path());
    std::ofstream(folder / e.path, std::ios::binary) << e.data;
  }
}

}  // namespace solvera::test
