// ZIP extraction over libarchive's disk writer with its secure-extraction flags.
#include "content/zip_extract.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

namespace solvera {
namespace fs = std::filesystem;

namespace {

struct ReaderDeleter {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct WriterDeleter {
  void operator()(archive* a) const { archive_write_free(a); }
};

// A path that stays below the folder it is joined to: relative, without "..", not empty.
bool isContainedRelative(const std::string& text) {
  if (text.empty() || text.front() == '/') return false;
  for (const auto& part : fs::path(text)) {
    if (part == "..") return false;
  }
  return true;
}

bool isInside(const fs::path& candidate, const fs::path& folder) {
  auto [f, c] = std::mismatch(folder.begin(), folder.end(), candidate.begin(), candidate.end());
  return f == folder.end();
}

const char* entryText(const char* utf8, const char* native) {
  return utf8 ? utf8 : native;
}

bool fail(std::string* error, std::string message) {
  if (error) *error = std::move(message);
  return false;
}

}  // namespace

bool extractZipArchive(const fs::path& archivePath, const fs::path& destination, std::string* error,
                       const std::atomic<bool>* cancelled) {
  std::error_code ec;
  // The secure-symlink check walks every component, so the prefix must hold no links itself.
  const fs::path root = fs::canonical(destination, ec);
  if (ec) return fail(error, "destination: " + ec.message());

  std::unique_ptr<archive, ReaderDeleter> reader(archive_read_new());
  std::unique_ptr<archive, WriterDeleter> writer(archive_write_disk_new());
  if (!reader || !writer) return fail(error, "out of memory");
  archive_read_support_format_zip(reader.get());
  archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_TIME |
                                                   ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                   ARCHIVE_EXTRACT_SECURE_NODOTDOT);
  if (archive_read_open_filename(reader.get(), archivePath.c_str(), std::size_t{64} * 1024) !=
      ARCHIVE_OK) {
    return fail(error, archive_error_string(reader.get()) ?: "cannot open archive");
  }

  std::vector<fs::path> links;
  archive_entry* entry = nullptr;
  while (true) {
    if (cancelled && cancelled->load()) return fail(error, "cancelled");
    int r = archive_read_next_header(reader.get(), &entry);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      return fail(error, archive_error_string(reader.get()) ?: "unreadable entry");
    }
    const char* name = entryText(archive_entry_pathname_utf8(entry), archive_entry_pathname(entry));
    if (!name || !isContainedRelative(name)) {
      return fail(error, std::string("entry outside the folder: ") + (name ? name : "(no name)"));
    }
    const std::string relative = name;
    // "." or "./" names the folder itself: as a folder it is already there, as anything else
    // it would replace the folder.
    if (fs::path(relative).lexically_normal() == ".") {
      if (archive_entry_filetype(entry) == AE_IFDIR) continue;
      return fail(error, "entry replaces the folder: " + relative);
    }
    if (archive_entry_hardlink(entry)) return fail(error, "hard link entry: " + relative);
    const mode_t type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
      return fail(error, "special file entry: " + relative);
    }
    const fs::path target = root / relative;
    if (type == AE_IFLNK) {
      const char* to = entryText(archive_entry_symlink_utf8(entry), archive_entry_symlink(entry));
      if (!to || *to == '\0' || *to == '/')
        return fail(error, "link out of the folder: " + relative);
      fs::path resolved = (target.parent_path() / to).lexically_normal();
      if (!isInside(resolved, root)) return fail(error, "link out of the folder: " + relative);
      archive_entry_set_symlink(entry, to);
      links.push_back(target);
    }
    archive_entry_set_pathname(entry, target.c_str());
    // Whatever the archive says, the user keeps read, write and search rights on what was
    // extracted: a folder stored as 0500 could otherwise never be replaced or removed.
    if (type != AE_IFLNK) {
      archive_entry_set_perm(entry,
                             (archive_entry_perm(entry) & 0755) | (type == AE_IFDIR ? 0700 : 0600));
    }

    r = archive_write_header(writer.get(), entry);
    if (r < ARCHIVE_WARN) return fail(error, archive_error_string(writer.get()) ?: "write failed");
    if (archive_entry_size(entry) > 0 && type == AE_IFREG) {
      const void* block = nullptr;
      size_t size = 0;
      la_int64_t offset = 0;
      while (true) {
        if (cancelled && cancelled->load()) return fail(error, "cancelled");
        r = archive_read_data_block(reader.get(), &block, &size, &offset);
        if (r == ARCHIVE_EOF) break;
        if (r < ARCHIVE_WARN) {
          return fail(error, archive_error_string(reader.get()) ?: "corrupt data");
        }
        if (archive_write_data_block(writer.get(), block, size, offset) < ARCHIVE_WARN) {
          return fail(error, archive_error_string(writer.get()) ?: "write failed");
        }
      }
    }
    if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) {
      return fail(error, archive_error_string(writer.get()) ?: "write failed");
    }
  }
  if (archive_write_close(writer.get()) < ARCHIVE_WARN) {
    return fail(error, archive_error_string(writer.get()) ?: "write failed");
  }

  // Lexically a link may look inside yet leave through another link ("a" -> ".", "b" ->
  // "a/.."); only the resolved chain tells.
  for (const auto& link : links) {
    fs::path resolved = fs::weakly_canonical(link, ec);
    if (ec || !isInside(resolved, root)) {
      return fail(error, "link out of the folder: " + link.lexically_relative(root).string());
    }
  }
  return true;
}

}  // namespace solvera
