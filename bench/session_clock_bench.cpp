// The session's one clock, measured: render speed of the library's longest session through the
// live renderer (offline, and as a share of one core when live), the cost of silent pacing,
// and, over a simulated 60-minute session on a device whose clock drifts and whose callbacks
// jitter, the offset between the light's anchored pulse and the heard onsets of the sound's.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "common/files.hpp"
#include "session/offline_render.hpp"
#include "session/session_renderer.hpp"

using namespace solvera;
using namespace solvera::session;

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

void renderSpeed(const Session& session) {
  const Timeline timeline = buildTimeline(session);
  ProgramSettings settings;
  std::uint64_t frames = 0;
  const auto start = std::chrono::steady_clock::now();
  renderSessionOffline(session, settings, {}, [&](const float*, std::size_t n) {
    frames += n;
    return true;
  });
  const double took = seconds(std::chrono::steady_clock::now() - start);
  const double audio = static_cast<double>(frames) / kToneSampleRate;
  std::printf("render  %-28s %6.0f s of sound in %.2f s: %.0fx real time, %.2f %% of a core live\n", session.id.c_str(),
              audio, took, audio / took, 100.0 * took / audio);
  SessionRenderer silent(timeline, session.audioMode.value_or(""), settings);
  const auto startSilent = std::chrono::steady_clock::now();
  silent.advanceSilently(frames, 0);
  const double tookSilent = seconds(std::chrono::steady_clock::now() - startSilent);
  std::printf("silent  %-28s %.3f s: %.4f %% of a core\n", session.id.c_str(), tookSilent, 100.0 * tookSilent / audio);
}

void alignment(double ppm, double jitterMs, double latencyMs) {
  Json raw = {{"title", "Uur"},
              {"audioMode", "isochronic"},
              {"phases", {{{"start", "00:00"}, {"end", "30:00"}, {"audioFrequencyHz", "10"}, {"noiseVolume", 0}, {"musicVolume", 0}},
                          {{"start", "30:00"}, {"end", "1:00:00"}, {"audioFrequencyHz", "10 → 6"}, {"noiseVolume", 0},
                           {"musicVolume", 0}}}}};
  const Session session = *checkSession(raw).session;
  ProgramSettings settings;
  settings.audio.pulseShape = "square";
  SessionRenderer renderer(buildTimeline(session), "isochronic", settings);
  const double deviceRate = kToneSampleRate * (1 + ppm * 1e-6);  // the card's true frames per second
  const double t0 = 1e12;
  constexpr std::size_t kBlock = 512;
  std::vector<float> block(2 * kBlock);
  std::uint32_t noise = 1;
  std::uint64_t at = 0;
  ClockSnapshot anchor;
  bool haveAnchor = false;
  std::size_t quiet = 0;
  double sum[6] = {}, low[6], high[6];
  long count[6] = {};
  for (int i = 0; i < 6; ++i) low[i] = 1e9, high[i] = -1e9;
  const auto total = static_cast<std::uint64_t>(3600 * kToneSampleRate);
  for (std::uint64_t k = 0; at < total; ++k) {
    noise = noise * 1664525u + 1013904223u;
    const double jitter = (static_cast<double>(noise % 2'000'001u) / 1'000'000.0 - 1.0) * jitterMs * 1e6;
    const double callbackNs = t0 + static_cast<double>(at) * 1e9 / deviceRate + jitter;
    const AudioBuffer buffer{block.data(), 2};
    renderer.renderTimed(kBlock, AudioBufferList(&buffer, 1),
                         AudioBlockTiming{std::llround(callbackNs), std::llround(latencyMs * 1e6), true});
    // The player reads the clock about every 20 ms.
    if (k % 2 == 0) {
      anchor = renderer.snapshot();
      haveAnchor = true;
    }
    for (std::size_t i = 0; i < kBlock; ++i) {
      const bool on = std::fabs(block[2 * i]) > 1e-5f;
      const std::uint64_t n = at + i;
      if (on && quiet > 200 && haveAnchor && n > 10 * 44100) {
        const double heardNs = t0 + static_cast<double>(n) * 1e9 / deviceRate + latencyMs * 1e6;
        double position = anchor.lightPhase + anchor.lightHz * (heardNs - static_cast<double>(anchor.heardNs)) / 1e9;
        position -= std::floor(position + 0.5);
        const double offsetMs = position / anchor.lightHz * 1000.0;
        const auto bin = static_cast<std::size_t>(static_cast<double>(n) / kToneSampleRate / 600);
        if (bin < 6) {
          sum[bin] += offsetMs;
          low[bin] = std::min(low[bin], offsetMs);
          high[bin] = std::max(high[bin], offsetMs);
          ++count[bin];
        }
      }
      quiet = on ? 0 : quiet + 1;
    }
    at += kBlock;
  }
  std::printf("light vs heard sound, device %+.0f ppm, callbacks +-%.1f ms, latency %.0f ms (light leads when +):\n", ppm,
              jitterMs, latencyMs);
  for (int i = 0; i < 6; ++i) {
    std::printf("  %2d-%2d min: %5ld onsets, mean %+.3f ms, range %+.3f .. %+.3f ms\n", i * 10, i * 10 + 10, count[i],
                count[i] ? sum[i] / static_cast<double>(count[i]) : 0.0, low[i], high[i]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path source = argc > 1 ? argv[1] : ".";
  const auto sessions = parseSessionLibrary(readWholeFile(source / "public/sessions/library.json").value_or(""));
  if (sessions.empty()) {
    std::fprintf(stderr, "usage: session-clock-bench <source folder with public/sessions/library.json>\n");
    return 1;
  }
  const Session* longest = &sessions.front();
  for (const Session& s : sessions) {
    if (s.durationMinutes.value_or(0) > longest->durationMinutes.value_or(0)) longest = &s;
  }
  renderSpeed(sessions.front());
  renderSpeed(*longest);
  alignment(0, 1.0, 20);
  alignment(50, 2.0, 60);
  return 0;
}
