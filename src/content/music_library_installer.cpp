// The music library installer: main-thread entry points, one background worker, page calls.
#include "content/music_library_installer.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "common/json.hpp"
#include "common/main_thread.hpp"
#include "content/music_library.hpp"
#include "content/zip_extract.hpp"

namespace solvera {
namespace fs = std::filesystem;

namespace {

// A random (version 4) UUID in its canonical uppercase form.
std::string uppercaseUUID() {
  unsigned char b[16] = {};
  std::size_t filled = 0;
  while (filled < sizeof b) {
    ssize_t n = getrandom(b + filled, sizeof b - filled, 0);
    if (n > 0) filled += static_cast<std::size_t>(n);
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[b[i] >> 4]);
    out.push_back(kHex[b[i] & 0x0f]);
  }
  return out;
}

fs::path systemTemporaryDir() {
  std::error_code ec;
  fs::path dir = fs::temp_directory_path(ec);
  return ec ? fs::path("/tmp") : dir;
}

// Removes a folder or file when the scope ends, whatever way it ends; errors ignored.
class RemoveOnExit {
 public:
  explicit RemoveOnExit(fs::path path) : path_(std::move(path)) {}
  ~RemoveOnExit() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  RemoveOnExit(const RemoveOnExit&) = delete;
  RemoveOnExit& operator=(const RemoveOnExit&) = delete;

 private:
  fs::path path_;
};

// A new empty file for the download in the temporary folder.
std::optional<fs::path> makeDownloadFile(const fs::path& dir) {
  std::string pattern = (dir / "Solvera-Music-Download-XXXXXX").string();
  int fd = mkstemp(pattern.data());
  if (fd < 0) return std::nullopt;
  ::close(fd);
  return fs::path(pattern);
}

}  // namespace

bool MusicLibraryInstaller::productIncludesMusic(const std::optional<std::string>& code) {
  return code && (*code == "audio-light" || *code == "audio" || *code == "personal");
}

MusicLibraryInstaller::Options MusicLibraryInstaller::optionsFrom(const AppInfo& info,
                                                                  fs::path libraryURL) {
  Options options;
  options.libraryURL = std::move(libraryURL);
  options.productCode = info.productCode;
  std::string base = info.contentBaseURL.value_or("");
  while (!base.empty() && base.back() == '/') base.pop_back();
  if (!base.empty()) options.coreMusicLibraryURL = base + kCoreMusicLibraryPath;
  options.coreMusicLibrarySHA256 = info.coreMusicLibrarySHA256.value_or("");
  return options;
}

std::shared_ptr<MusicLibraryInstaller> MusicLibraryInstaller::create(platform::Dialogs& dialogs,
                                                                     WebViewProvider webView,
                                                                     Options options) {
  return std::shared_ptr<MusicLibraryInstaller>(
      new MusicLibraryInstaller(dialogs, std::move(webView), std::move(options)));
}

MusicLibraryInstaller::MusicLibraryInstaller(platform::Dialogs& dialogs, WebViewProvider webView,
                                             Options options)
    : dialogs_(dialogs), webView_(std::move(webView)), options_(std::move(options)) {
  if (options_.temporaryDir.empty()) options_.temporaryDir = systemTemporaryDir();
  if (!options_.downloadClient) options_.downloadClient = std::make_shared<HttpDownloadClient>();
}

MusicLibraryInstaller::~MusicLibraryInstaller() {
  shared_->cancelled = true;
  // The worker uses this object's members; it must be done before they go.
  worker_.reset();
}

void MusicLibraryInstaller::evaluateLater(std::weak_ptr<MusicLibraryInstaller> weak,
                                          std::string script) {
  callPageLater(std::move(weak), &MusicLibraryInstaller::webView_, std::move(script));
}

void MusicLibraryInstaller::installCoreMusicLibraryIfNeeded() {
  if (!productIncludesMusic(options_.productCode)) return;
  // Without an address and the digest that belongs to it there is nothing to fetch.
  if (options_.coreMusicLibraryURL.empty() || options_.coreMusicLibrarySHA256.empty()) return;
  if (validMusicLibraryTrackCount(options_.libraryURL)) return;
  shared_->installing = true;
  evaluateLater(weak_from_this(), pagecall::musicLibraryDownloadStatus("downloading", ""));
  if (!worker_) worker_ = std::make_unique<SerialQueue>("mirowen.music-library");
  worker_->post([this] { runDownloadHandler(); });
}

void MusicLibraryInstaller::runDownloadHandler() {
  const std::weak_ptr<MusicLibraryInstaller> weak = weak_from_this();
  std::size_t count = 0;
  std::string stage;
  try {
    stage = downloadAndInstall(weak, count);
  } catch (const std::exception&) {
    // Every started installation ends with one report, even after an allocation failure.
    stage = "install";
  }
  // The temporary files are gone by now: the page hears of the end only after the cleanup.
  shared_->installing = false;
  if (stage.empty()) {
    evaluateLater(weak, pagecall::musicLibraryInstalled(true, std::to_string(count)));
  } else {
    evaluateLater(weak, pagecall::musicLibraryDownloadStatus("failed", stage));
  }
}

std::string MusicLibraryInstaller::downloadAndInstall(
    const std::weak_ptr<MusicLibraryInstaller>& weak, std::size_t& count) {
  auto status = [&](const std::string& word) {
    evaluateLater(weak, pagecall::musicLibraryDownloadStatus(word, ""));
  };

  auto downloaded = makeDownloadFile(options_.temporaryDir);
  if (!downloaded) return "download";
  RemoveOnExit removeDownload(*downloaded);
  DownloadRequest request{options_.coreMusicLibraryURL, options_.downloadTimeout, *downloaded};
  DownloadResult result = options_.downloadClient->download(request, &shared_->cancelled);
  if (result.error || !result.fileWritten || !result.httpStatus || *result.httpStatus < 200 ||
      *result.httpStatus > 299) {
    return "download";
  }

  status("verifying");
  auto digest = sha256(*downloaded);
  if (!digest || *digest != options_.coreMusicLibrarySHA256) return "checksum";

  const fs::path work = options_.temporaryDir / ("Solvera-Music-" + uppercaseUUID());
  RemoveOnExit removeWork(work);
  const fs::path extracted = work / "Extracted";
  std::error_code ec;
  fs::create_directories(extracted, ec);
  if (ec) return "install";

  status("installing");
  if (!extractZipArchive(*downloaded, extracted, nullptr, &shared_->cancelled)) return "archive";
  auto package = musicLibraryPackageURL(extracted);
  auto tracks = package ? validMusicLibraryTrackCount(*package) : std::nullopt;
  if (!package || !tracks) return "archive";
  if (installMusicLibraryIntoPlace(*package, options_.libraryURL)) return "install";
  count = *tracks;
  return {};
}

void MusicLibraryInstaller::installMusicLibrary() {
  if (shared_->installing) return;
  platform::OpenPanelOptions panel;
  panel.title = "Solvera Pro muziekbibliotheek installeren";
  panel.prompt = "Installeren";
  panel.canChooseFiles = true;
  panel.canChooseDirectories = true;
  panel.allowsMultipleSelection = false;
  // No desktop registers a type for "svpmusic" packages, so no filter is set.
  std::weak_ptr<MusicLibraryInstaller> weak = weak_from_this();
  dialogs_.runOpenPanel(panel, [weak](std::vector<fs::path> chosen) {
    auto self = weak.lock();
    if (!self) return;
    if (chosen.empty()) {
      evaluateLater(weak, pagecall::musicLibraryInstalled(false, "cancelled"));
      return;
    }
    self->copyMusicLibrary(chosen.front());
  });
}

void MusicLibraryInstaller::copyMusicLibrary(const fs::path& from) {
  shared_->installing = true;
  if (!worker_) worker_ = std::make_unique<SerialQueue>("mirowen.music-library");
  worker_->post([this, from] { runCopy(from); });
}

void MusicLibraryInstaller::runCopy(const fs::path& source) {
  const std::weak_ptr<MusicLibraryInstaller> weak = weak_from_this();
  auto finish = [&](bool ok, const std::string& message) {
    shared_->installing = false;
    evaluateLater(weak, pagecall::musicLibraryInstalled(ok, message));
  };
  if (shared_->cancelled) return;
  try {
    auto count = validMusicLibraryTrackCount(source);
    if (!count) return finish(false, "invalid");
    if (installMusicLibraryIntoPlace(source, options_.libraryURL)) {
      std::error_code ignored;
      fs::remove_all(musicLibraryStagingURL(options_.libraryURL), ignored);
      return finish(false, "copy");
    }
    finish(true, std::to_string(*count));
  } catch (const std::exception&) {
    finish(false, "copy");
  }
}

}  // namespace solvera
