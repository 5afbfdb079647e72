// Session import and export over the platform's panels.
#include "content/session_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/files.hpp"
#include "common/json.hpp"
#include "common/main_thread.hpp"

namespace solvera {
namespace fs = std::filesystem;

std::string proposedSessionFileName(const std::string& filename) {
  std::string safe = fileNameSafe(filename);
  const std::string suffix = std::string(".") + kSessionFileExtension;
  if (safe.ends_with(suffix)) return safe;
  return safe + suffix;
}

std::optional<std::string> readSessionFile(const fs::path& file) {
  // Non-blocking so that a chosen pipe cannot stall the main thread; it is refused below.
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
      static_cast<std::size_t>(info.st_size) > kSessionFileMaxBytes) {
    ::close(fd);
    return std::nullopt;
  }
  // Sized from the file with one byte more, to see whether it grew since the check; growth is
  // followed up to one byte past the limit, which refuses the file.
  std::string text(static_cast<std::size_t>(info.st_size) + 1, '\0');
  std::size_t filled = 0;
  bool failed = false;
  while (true) {
    if (filled == text.size()) {
      if (text.size() > kSessionFileMaxBytes) break;
      text.resize(std::min(text.size() * 2, kSessionFileMaxBytes + 1));
    }
    ssize_t n = ::read(fd, text.data() + filled, text.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      failed = true;
      break;
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (failed || filled > kSessionFileMaxBytes) return std::nullopt;
  text.resize(filled);
  if (!isValidUtf8(text)) return std::nullopt;
  return text;
}

std::shared_ptr<SessionFiles> SessionFiles::create(platform::Dialogs& dialogs,
                                                   WebViewProvider webView) {
  return std::shared_ptr<SessionFiles>(new SessionFiles(dialogs, std::move(webView)));
}

void SessionFiles::evaluateLater(std::weak_ptr<SessionFiles> weak, std::string script) {
  callPageLater(std::move(weak), &SessionFiles::webView_, std::move(script));
}

void SessionFiles::importSessionFile() {
  platform::OpenPanelOptions panel;
  panel.title = "Solvera Pro sessie importeren";
  panel.prompt = "Importeren";
  panel.canChooseFiles = true;
  panel.canChooseDirectories = false;
  panel.allowsMultipleSelection = false;
  // Session files and JSON, one filter: a file matching any of these may be picked.
  panel.mimeTypes = {"application/json"};
  panel.extensions = {kSessionFileExtension, "json"};
  std::weak_ptr<SessionFiles> weak = weak_from_this();
  dialogs_.runOpenPanel(panel, [weak](std::vector<fs::path> chosen) {
    if (chosen.empty())
      return evaluateLater(weak, pagecall::sessionFileImported(false, "cancelled"));
    auto text = readSessionFile(chosen.front());
    if (!text) return evaluateLater(weak, pagecall::sessionFileImported(false, "read"));
    evaluateLater(weak, pagecall::sessionFileImported(true, *text));
  });
}

void SessionFiles::exportSessionFile(const std::string& filename, const std::string& content) {
  std::weak_ptr<SessionFiles> weak = weak_from_this();
  if (content.size() > kSessionFileMaxBytes) {
    return evaluateLater(weak, pagecall::sessionFileExported(false, "size"));
  }
  platform::SavePanelOptions panel;
  panel.title = "Solvera Pro sessie exporteren";
  panel.prompt = "Bewaar";
  panel.proposedName = proposedSessionFileName(filename);
  panel.extensions = {kSessionFileExtension};
  dialogs_.runSavePanel(panel, [weak, content](std::optional<fs::path> chosen) {
    if (!chosen) return evaluateLater(weak, pagecall::sessionFileExported(false, "cancelled"));
    if (!writeFileAtomically(*chosen, content)) {
      return evaluateLater(weak, pagecall::sessionFileExported(false, "write"));
    }
    evaluateLater(weak, pagecall::sessionFileExported(true, "saved"));
  });
}

}  // namespace solvera
