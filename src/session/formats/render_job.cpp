// Rendering a session into a sound file.
#include "session/formats/render_job.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cmath>

#include "session/formats/gnaural_format.hpp"
#include "session/formats/sbg_format.hpp"
#include "session/offline_render.hpp"

namespace solvera::session {

std::optional<Error> renderToFile(const RenderRequest& request, const std::atomic<bool>& cancel,
                                  const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
  const auto format = soundFileFormatFor(request.output);
  OfflineRenderOptions options;
  options.fromS = request.fromS;
  options.toS = request.toS;
  options.sampleRate = format ? soundFileRate(*format, request.sampleRate) : request.sampleRate;
  options.noiseSeed = request.noiseSeed;
  if (request.music && request.settings.controls.musicEnabled) options.music = request.tracks;
  ProgramSettings settings = request.settings;
  if (!request.noise) settings.audio.noise = false;
  if (!request.music) settings.controls.musicEnabled = false;
  std::uint64_t total = 0;
  try {
    total = offlineFrameCount(request.session, options);
  } catch (const ErrorException& e) {
    return e.error();
  }
  if (total == 0) return Error{kSoundFileErrorDomain, 400, "Het gekozen stuk van de sessie is leeg (--from/--to)."};

  SoundFileWriter writer;
  SoundFileSpec spec;
  spec.sampleRate = request.sampleRate;
  spec.bits = request.bits;
  spec.expectedFrames = total;
  if (auto error = writer.open(request.output, spec)) return error;
  std::optional<Error> failed;
  std::uint64_t done = 0;
  try {
    renderSessionOffline(request.session, settings, options, [&](const float* samples, std::size_t frames) {
      if (cancel.load(std::memory_order_relaxed)) return false;
      if (auto error = writer.write(samples, frames)) {
        failed = error;
        return false;
      }
      done += frames;
      if (progress) progress(done, total);
      return true;
    });
  } catch (const ErrorException& e) {
    failed = e.error();
  }
  if (!failed && done != total) failed = Error{kSoundFileErrorDomain, 499, "Het renderen is afgebroken."};
  if (failed) {
    writer.abandon();
    return failed;
  }
  return writer.finish();
}

void lowerThreadPriority() {
  // Both only ever lower: an unprivileged process may always do so. Failures change nothing
  // that matters, so they are let be.
  sched_param param{};
  (void)pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  (void)::setpriority(PRIO_PROCESS, tid, 10);
}

LoadedSession loadSessionText(std::string_view text, std::string_view fileName) {
  LoadedSession loaded;
  std::string lower(fileName);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool sbg = lower.ends_with(".sbg");
  if (sbg || lower.ends_with(".gnaural")) {
    loaded.imported = sbg ? readSbg(text, fileName) : readGnaural(text, fileName);
    if (!loaded.imported) {
      loaded.error = failureText(loaded.imported.failure, true);
      return loaded;
    }
    const SessionCheck checked = checkSession(Json::parse(loaded.imported.session->dump()));
    if (!checked) {
      loaded.error = checked.problem.message();
      return loaded;
    }
    loaded.checked = checked.session;
    return loaded;
  }
  SessionCheck checked = parseSessionFile(text);
  if (!checked) {
    loaded.error = checked.problem.message();
    return loaded;
  }
  loaded.imported.session = sessionToJson(*checked.session);
  loaded.checked = std::move(checked.session);
  return loaded;
}

std::optional<double> parseRenderTime(std::string_view text) {
  double total = 0;
  int parts = 0;
  std::size_t begin = 0;
  while (true) {
    const std::size_t colon = text.find(':', begin);
    const std::string_view part = text.substr(begin, colon == std::string_view::npos ? std::string_view::npos : colon - begin);
    if (part.empty() || part.size() > 6 || ++parts > 3) return std::nullopt;
    double value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    if (parts > 1 && value >= 60) return std::nullopt;
    total = total * 60 + value;
    if (colon == std::string_view::npos) break;
    begin = colon + 1;
  }
  return total;
}

}  // namespace solvera::session
