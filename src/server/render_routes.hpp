// A session rendered to a sound file for the page to download, and other players' session files
// read into sessions for the page's editor. The render runs on a thread of its own, never on
// the server's queue, one at a time (two cores are better spent on one file than split).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "http/http.hpp"
#include "session/session_model.hpp"
#include "session/settings.hpp"

namespace solvera {

class RenderRoutes {
 public:
  struct Options {
    // Where finished files wait for their download; emptied of earlier renders at start.
    std::filesystem::path workFolder;
    // A library or own session by id.
    std::function<std::optional<session::Session>(const std::string& id)> findSession;
    // The sound settings live playback uses.
    std::function<session::ProgramSettings()> settings;
    std::filesystem::path musicLibrary;
  };

  explicit RenderRoutes(Options options);
  ~RenderRoutes();  // cancels a render and removes every file it made
  RenderRoutes(const RenderRoutes&) = delete;
  RenderRoutes& operator=(const RenderRoutes&) = delete;

  // POST /session/render {"sessionId"|"session", "format", "bits", "music", "noise"}.
  std::string start(const std::string& body);
  // GET /session/render/<id>: its progress, or how it ended.
  std::string status(const std::string& id) const;
  // GET /session/render/<id>/file: the finished file as an attachment.
  http::Response file(const std::string& id) const;
  // DELETE /session/render/<id>: stops it, or forgets its file.
  std::string cancel(const std::string& id);

  // POST /session/import {"fileName", "text"}: an SBaGen, Gnaural or session file as the
  // session JSON with the notices for what it could not hold.
  static std::string importFile(const std::string& body);

 private:
  struct Job;
  std::shared_ptr<Job> job(const std::string& id) const;
  void finishJob();  // joins the thread of a job that has ended (under mutex_)

  Options options_;
  mutable std::mutex mutex_;
  std::shared_ptr<Job> current_;
  std::thread worker_;
};

}  // namespace solvera
