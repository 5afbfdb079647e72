// Rendering a session's span to blocks for a file.
#include "session/offline_render.hpp"

#include <algorithm>
#include <cmath>

#include "session/session_renderer.hpp"
#include "session/timeline.hpp"

namespace solvera::session {
namespace {

std::pair<double, double> span(double durationS, const OfflineRenderOptions& options) {
  const double from = std::clamp(std::isfinite(options.fromS) ? options.fromS : 0.0, 0.0, durationS);
  const double to = std::clamp(options.toS && std::isfinite(*options.toS) ? *options.toS : durationS, from, durationS);
  return {from, to};
}

}  // namespace

std::uint64_t offlineFrameCount(const Session& session, const OfflineRenderOptions& options) {
  const auto [from, to] = span(buildTimeline(session).durationS, options);
  return static_cast<std::uint64_t>(std::llround((to - from) * options.sampleRate));
}

std::uint64_t renderSessionOffline(const Session& session, const ProgramSettings& settings,
                                   OfflineRenderOptions options,
                                   const std::function<bool(const float* interleaved, std::size_t frames)>& write) {
  Timeline timeline = buildTimeline(session);
  const auto [from, to] = span(timeline.durationS, options);
  const auto total = static_cast<std::uint64_t>(std::llround((to - from) * options.sampleRate));
  std::shared_ptr<MusicSource> music;
  if (!options.music.empty()) {
    music = std::make_shared<MusicSource>(std::move(options.music), SessionRenderer::moodsOf(timeline),
                                          options.sampleRate, MusicSource::Mode::offline);
  }
  SessionRenderer::Options renderOptions;
  renderOptions.sampleRate = options.sampleRate;
  renderOptions.noiseSeed = options.noiseSeed;
  renderOptions.startS = from;
  SessionRenderer renderer(std::move(timeline), session.audioMode.value_or(""), settings, std::move(music),
                           renderOptions);
  const std::size_t block = std::max<std::size_t>(options.blockFrames, 1);
  std::vector<float> buffer(2 * block);
  std::uint64_t done = 0;
  while (done < total) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block, total - done));
    renderer.renderInterleaved(buffer.data(), n);
    if (!write(buffer.data(), n)) break;
    done += n;
  }
  return done;
}

}  // namespace solvera::session
