// Renders for download and imports for the editor, answered as the page's routes.
#include "server/render_routes.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <utility>

#include "common/random.hpp"
#include "session/formats/render_job.hpp"
#include "session/session_player.hpp"

namespace solvera {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kFilePrefix = "render-";
constexpr const char* kBusy =
    "Er wordt al een sessie omgezet naar audio; wacht tot die klaar is of breek hem af.";
constexpr const char* kChooseSession = "Kies eerst een sessie.";
constexpr const char* kNoSuchSession = "Deze sessie bestaat niet (meer).";
constexpr const char* kUnknownFormat = "Onbekend formaat: kies WAV, FLAC, Ogg, Opus of MP3.";
constexpr const char* kNoFile = "Dit audiobestand is er niet (meer); zet de sessie opnieuw om.";
constexpr const char* kNoImport = "Het bestand kan niet worden gelezen.";
constexpr const char* kNoImportEn = "The file cannot be read.";

// The download's name: the session's title with what a file name cannot hold replaced.
std::string downloadName(const std::string& title, std::string_view extension) {
  std::string name;
  for (char c : title) {
    const auto u = static_cast<unsigned char>(c);
    const bool unsafe =
        u < 0x20 || u == 0x7f || std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos;
    name += unsafe ? '-' : c;
  }
  while (!name.empty() && (name.front() == ' ' || name.front() == '.')) name.erase(0, 1);
  if (name.size() > 120) name.resize(120);
  // A title cut in the middle of a UTF-8 sequence loses the broken tail.
  while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80) name.pop_back();
  if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xC0) name.pop_back();
  if (name.empty()) name = "sessie";
  return name + "." + std::string(extension);
}

// Content-Disposition for a UTF-8 name: an ASCII stand-in for old clients, the name itself in
// the RFC 5987 form.
std::string contentDisposition(const std::string& name) {
  std::string ascii;
  std::string encoded;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    // One stand-in per character: continuation bytes of UTF-8 add none.
    if (u < 0x80) {
      ascii += (c != '"' && c != '\\' && c != '%') ? c : '_';
    } else if (u >= 0xC0) {
      ascii += '_';
    }
    if (std::isalnum(u) != 0 || std::string_view("-._~").find(c) != std::string_view::npos) {
      encoded += c;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", u);
      encoded += escape;
    }
  }
  return "attachment; filename=\"" + ascii + "\"; filename*=UTF-8''" + encoded;
}

std::string_view audioType(std::string_view extension) {
  if (extension == ".wav") return "audio/wav";
  if (extension == ".flac") return "audio/flac";
  if (extension == ".ogg" || extension == ".opus") return "audio/ogg";
  if (extension == ".mp3") return "audio/mpeg";
  return "application/octet-stream";
}

}  // namespace

struct RenderRoutes::Job {
  enum class State { rendering, done, failed, cancelled };
  std::string id;
  std::string fileName;  // as the download is called
  fs::path path;         // in the work folder
  double seconds = 0;    // the span rendered, in the session's seconds
  SteadyClock::time_point startedAt = SteadyClock::now();
  std::atomic<bool> cancel{false};
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> total{0};
  mutable std::mutex mutex;
  State state = State::rendering;
  std::string message;  // Dutch, when it failed
};

RenderRoutes::RenderRoutes(Options options) : options_(std::move(options)) {
  std::error_code ec;
  fs::create_directories(options_.workFolder, ec);
  // Files of an earlier run (one that was killed) are of no use to anyone.
  for (const auto& entry : fs::directory_iterator(options_.workFolder, ec)) {
    if (entry.path().filename().string().starts_with(kFilePrefix)) fs::remove(entry.path(), ec);
  }
}

RenderRoutes::~RenderRoutes() {
  std::shared_ptr<Job> last;
  {
    std::lock_guard lock(mutex_);
    last = current_;
    if (last) last->cancel = true;
  }
  if (worker_.joinable()) worker_.join();
  std::error_code ec;
  if (last) fs::remove(last->path, ec);
  fs::remove(options_.workFolder, ec);  // only when empty: the folder may be shared
}

void RenderRoutes::finishJob() {
  if (worker_.joinable()) worker_.join();
  std::error_code ec;
  if (current_) fs::remove(current_->path, ec);
}

std::string RenderRoutes::start(const std::string& body) {
  auto request = parseJson(body);
  if (!request || !request->is_object()) return http::jsonFailure("400 Bad Request", "invalid_json");
  const Json& r = *request;

  session::RenderRequest render;
  if (auto raw = r.find("session"); raw != r.end() && raw->is_object()) {
    session::SessionCheck check = session::checkSession(*raw);
    if (!check) return http::jsonFailure("400 Bad Request", "invalid_session", check.problem.message());
    render.session = std::move(*check.session);
  } else if (auto id = r.find("sessionId"); id != r.end() && id->is_string()) {
    auto found = options_.findSession(id->get<std::string>());
    if (!found) return http::jsonFailure("404 Not Found", "not_found", kNoSuchSession);
    render.session = std::move(*found);
  } else {
    return http::jsonFailure("400 Bad Request", "no_session", kChooseSession);
  }
  const auto word = r.find("format");
  const std::string extension =
      word != r.end() && word->is_string() ? word->get<std::string>() : "wav";
  static constexpr std::string_view kFormats[] = {"wav", "flac", "ogg", "opus", "mp3"};
  if (std::find(std::begin(kFormats), std::end(kFormats), extension) == std::end(kFormats)) {
    return http::jsonFailure("400 Bad Request", "invalid_format", kUnknownFormat);
  }
  const auto flag = [&r](const char* key) {
    auto it = r.find(key);
    return it == r.end() || !it->is_boolean() || it->get<bool>();
  };
  const auto bits = r.find("bits");
  render.bits = bits != r.end() && bits->is_number_integer() && bits->get<int>() == 24 ? 24 : 16;
  render.music = flag("music");
  render.noise = flag("noise");
  render.settings = options_.settings();
  if (render.music) render.tracks = session::musicTracksOf(options_.musicLibrary);

  auto job = std::make_shared<Job>();
  job->id = randomHexToken().substr(0, 16);
  job->fileName = downloadName(render.session.title, extension);
  job->path = options_.workFolder / (kFilePrefix + job->id + "." + extension);
  render.output = job->path;

  {
    std::lock_guard lock(mutex_);
    if (current_) {
      std::lock_guard jobLock(current_->mutex);
      if (current_->state == Job::State::rendering)
        return http::jsonFailure("409 Conflict", "rendering", kBusy);
    }
    // One file waits at a time: a new render replaces the last one.
    finishJob();
    current_ = job;
    worker_ = std::thread([job, render = std::move(render)] {
      session::lowerThreadPriority();
      const std::optional<Error> error = session::renderToFile(
          render, job->cancel, [&job](std::uint64_t done, std::uint64_t total) {
            job->total.store(total, std::memory_order_relaxed);
            job->done.store(done, std::memory_order_relaxed);
          });
      std::lock_guard jobLock(job->mutex);
      if (!error) {
        job->state = Job::State::done;
      } else if (job->cancel.load()) {
        job->state = Job::State::cancelled;
      } else {
        job->state = Job::State::failed;
        job->message = error->message;
      }
    });
  }
  return status(job->id);
}

std::shared_ptr<RenderRoutes::Job> RenderRoutes::job(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return current_ && current_->id == id ? current_ : nullptr;
}

std::string RenderRoutes::status(const std::string& id) const {
  const std::shared_ptr<Job> j = job(id);
  if (!j) return http::jsonFailure("404 Not Found", "not_found", kNoFile);
  static constexpr const char* kStates[] = {"rendering", "done", "failed", "cancelled"};
  const std::uint64_t done = j->done.load(std::memory_order_relaxed);
  const std::uint64_t total = j->total.load(std::memory_order_relaxed);
  const double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 0;
  const double elapsed = std::chrono::duration<double>(SteadyClock::now() - j->startedAt).count();
  OrderedJson render{{"id", j->id}, {"fileName", j->fileName}};
  {
    std::lock_guard jobLock(j->mutex);
    render["state"] = kStates[static_cast<int>(j->state)];
    render["fraction"] = j->state == Job::State::done ? 1.0 : fraction;
    // Unknown until the first block is done.
    render["remainingS"] = fraction > 0 && j->state == Job::State::rendering
                               ? OrderedJson(elapsed / fraction - elapsed)
                               : OrderedJson(nullptr);
    if (!j->message.empty()) render["message"] = j->message;
  }
  return http::jsonResponse(OrderedJson{{"ok", true}, {"render", std::move(render)}});
}

http::Response RenderRoutes::file(const std::string& id) const {
  const std::shared_ptr<Job> j = job(id);
  bool ready = false;
  if (j) {
    std::lock_guard jobLock(j->mutex);
    ready = j->state == Job::State::done;
  }
  http::Response response;
  const int fd = ready ? ::open(j->path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    if (fd >= 0) ::close(fd);
    response.bytes = http::jsonFailure("404 Not Found", "not_found", kNoFile);
    return response;
  }
  const auto length = static_cast<std::uint64_t>(info.st_size);
  response.file = std::make_shared<http::FileBody>(fd, length);
  std::string head = http::httpHead("200 OK", audioType(j->path.extension().string()), length);
  // The head ends in an empty line; the disposition goes before it.
  head.insert(head.size() - 2, "Content-Disposition: " + contentDisposition(j->fileName) + "\r\n");
  response.bytes = std::move(head);
  return response;
}

std::string RenderRoutes::cancel(const std::string& id) {
  const std::shared_ptr<Job> j = job(id);
  if (!j) return http::jsonFailure("404 Not Found", "not_found", kNoFile);
  j->cancel = true;
  std::lock_guard lock(mutex_);
  std::lock_guard jobLock(j->mutex);
  // A finished file is forgotten at once; a running render removes its own on the way out.
  if (j->state != Job::State::rendering) {
    std::error_code ec;
    fs::remove(j->path, ec);
    if (j->state == Job::State::done) j->state = Job::State::cancelled;
  }
  return http::jsonResponse(OrderedJson{{"ok", true}});
}

std::string RenderRoutes::importFile(const std::string& body) {
  auto request = parseJson(body);
  if (!request || !request->is_object()) return http::jsonFailure("400 Bad Request", "invalid_json");
  auto name = request->find("fileName");
  auto text = request->find("text");
  if (name == request->end() || !name->is_string() || text == request->end() ||
      !text->is_string()) {
    return http::jsonFailure("400 Bad Request", "invalid_import");
  }
  session::LoadedSession loaded =
      session::loadSessionText(text->get<std::string>(), name->get<std::string>());
  OrderedJson reply = session::importResultToJson(loaded.imported);
  // Read, but refused by the session's own checks: the check's sentence is the reason.
  if (!loaded.checked) {
    reply["ok"] = false;
    reply.erase("session");
    if (!reply.contains("error")) {
      reply["error"] = {{"line", 0},
                        {"nl", loaded.error.empty() ? kNoImport : loaded.error},
                        {"en", kNoImportEn}};
    }
  }
  return http::jsonResponse(reply, loaded.checked ? "200 OK" : "400 Bad Request");
}

}  // namespace solvera
