// The session's clock: live blocks, pulled in whatever sizes and layouts a device asks for from
// another thread, are the very samples a render to a file makes; the published clock says when
// each block is heard, the device's jitter smoothed away; the light's pulse peaks with the
// sound's in every mode and shape; time the device loses is skipped; a render's span and its
// cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/files.hpp"
#include "dmx/dmx_request.hpp"
#include "session/offline_render.hpp"
#include "session/session_renderer.hpp"
#include "session/tests/session_test_support.hpp"

namespace solvera::session {
// This file's own names: the test programs compile their files together in batches.
namespace renderer_test {
namespace {

TEST(SessionRenderer, LiveGivesTheSamplesOfARenderToAFileAndAnEvenClock) {
  const auto sessions = parseSessionLibrary(readWholeFile(sourceDir() / "public/sessions/library.json").value());
  ASSERT_FALSE(sessions.empty());
  const Session& session = sessions.front();  // noise, reverb, binaural with the light at the beat's rate
  ProgramSettings settings;
  settings.audio.latencyMs = 25;
  settings.audio.bass = 3;
  SessionRenderer::Options options;
  options.noiseSeed = 1234;
  SessionRenderer live(buildTimeline(session), session.audioMode.value_or(""), settings, nullptr, options);

  constexpr double kRate = kToneSampleRate;
  constexpr std::size_t kFrames = 12 * 44100;
  constexpr std::int64_t kStartNs = 5'000'000'000;
  constexpr std::int64_t kLatencyNs = 40'000'000;
  std::vector<float> heard(2 * kFrames);
  std::vector<ClockSnapshot> seen;
  std::atomic<bool> done{false};
  std::thread device([&] {
    const std::size_t sizes[] = {480, 512, 1000, 33, 2048, 256, 777};
    std::vector<float> left(2048), right(2048);
    std::uint32_t noise = 17;
    std::size_t at = 0;
    for (std::size_t k = 0; at < kFrames; ++k) {
      const std::size_t n = std::min(sizes[k % std::size(sizes)], kFrames - at);
      // The device's thread wakes up to 2 ms early or late.
      noise = noise * 1664525u + 1013904223u;
      const std::int64_t jitter = static_cast<std::int64_t>(noise % 4'000'001u) - 2'000'000;
      const AudioBlockTiming timing{kStartNs + std::llround(static_cast<double>(at) * 1e9 / kRate) + jitter, kLatencyNs, true};
      if (k % 2 == 0) {
        const AudioBuffer buffer{heard.data() + 2 * at, 2};
        live.renderTimed(n, AudioBufferList(&buffer, 1), timing);
      } else {
        const AudioBuffer planar[2] = {{left.data(), 1}, {right.data(), 1}};
        live.renderTimed(n, AudioBufferList(planar, 2), timing);
        for (std::size_t i = 0; i < n; ++i) {
          heard[2 * (at + i)] = left[i];
          heard[2 * (at + i) + 1] = right[i];
        }
      }
      seen.push_back(live.snapshot());
      at += n;
    }
    done = true;
  });
  // Meanwhile others read the clock and hand in settings, as the player does.
  std::uint64_t lastBlocks = 0;
  while (!done) {
    const ClockSnapshot snap = live.snapshot();
    EXPECT_GE(snap.blocks, lastBlocks);
    lastBlocks = snap.blocks;
    live.setSettings(settings);
  }
  device.join();

  std::vector<float> file;
  OfflineRenderOptions span;
  span.toS = 12;
  span.noiseSeed = 1234;
  span.blockFrames = 3000;
  EXPECT_EQ(offlineFrameCount(session, span), kFrames);
  EXPECT_EQ(renderSessionOffline(session, settings, span,
                                 [&](const float* samples, std::size_t frames) {
                                   file.insert(file.end(), samples, samples + 2 * frames);
                                   return true;
                                 }),
            kFrames);
  ASSERT_EQ(file.size(), 2 * kFrames);
  std::size_t firstDifference = kFrames;
  for (std::size_t i = 0; i < 2 * kFrames && firstDifference == kFrames; ++i) {
    if (std::memcmp(&heard[i], &file[i], sizeof(float)) != 0) firstDifference = i / 2;
  }
  EXPECT_EQ(firstDifference, kFrames) << "live and file differ from frame " << firstDifference;
  double energy = 0;
  for (std::size_t i = 2 * 44100 * 10; i < 2 * kFrames; ++i) energy += static_cast<double>(file[i]) * file[i];
  EXPECT_GT(std::sqrt(energy / (2 * 44100 * 2)), 0.01) << "the comparison is of sound, not of silence";

  // Each block is heard at its place in the stream plus the device's and the extra latency;
  // the loop takes the 2 ms of jitter down to a small fraction.
  double worst = 0;
  for (const ClockSnapshot& snap : seen) {
    ASSERT_TRUE(snap.audible);
    if (snap.sessionS < 3) continue;
    const double ideal = kStartNs + snap.sessionS * 1e9 + kLatencyNs + 25e6;
    worst = std::max(worst, std::fabs(static_cast<double>(snap.heardNs) - ideal));
    // Light and beat at one rate: the light keeps the beat's phase, half a cycle on (binaural).
    if (snap.lightHz == snap.beatHz) {
      EXPECT_NEAR(std::fabs(std::remainder(snap.lightPhase - snap.beatPhase - 0.5, 1.0)), 0.0, 1e-9) << snap.sessionS;
    }
  }
  EXPECT_LT(worst, 0.3e6) << "heard times off by " << worst / 1e6 << " ms";
  EXPECT_NEAR(seen.back().sessionS, 12.0, 256 / kRate);
}

// Where a series peaks at rate hz: the phase (in cycles) of its fundamental at time 0.
double peakCycles(const std::vector<std::pair<double, double>>& series, double hz) {
  double c = 0, s = 0;
  for (const auto& [t, v] : series) {
    c += v * std::cos(2 * std::numbers::pi * hz * t);
    s += v * std::sin(2 * std::numbers::pi * hz * t);
  }
  return std::atan2(s, c) / (2 * std::numbers::pi);
}

TEST(SessionRenderer, LightPeaksWithTheSoundInEveryModeAndShape) {
  // The sound's pulse is measured in the rendered samples, as an ear (or a recording) takes it:
  // the loudness per carrier period, or for binaural how well the two ears' tones agree; the
  // light's from the lamps' own waveform at the phase the renderer publishes for each block.
  constexpr double kRate = kToneSampleRate;
  constexpr double kBeatHz = 10;
  constexpr std::size_t kCarrierFrames = 100;  // a 441 Hz carrier: whole periods
  constexpr std::size_t kBlock = SessionRenderer::kBlockFrames;
  constexpr std::size_t kFrames = 110 * kBlock * 2;  // about 1.3 s
  const std::vector<std::string> shapes{"sine", "triangle", "square", "trapezoid", "sawtooth"};
  for (const std::string mode : {"isochronic", "binaural", "monaural", "isochronic-monaural"}) {
    for (const std::string& sound : shapes) {
      for (const std::string& light : shapes) {
        Json raw = {{"title", "Gelijk"},
                    {"audioMode", mode},
                    {"phases",
                     {{{"start", "00:00"},
                       {"end", "01:00"},
                       {"audioFrequencyHz", "10"},
                       {"lightFrequencyHz", "10"},
                       {"carrierFrequencyHz", "441"},
                       {"pulseVolume", 40},
                       {"musicVolume", 0},
                       {"noiseVolume", 0},
                       {"reverbMix", 0},
                       {"pulseShape", light},
                       {"audioPulseShape", sound}}}}};
        const SessionCheck checked = checkSession(raw);
        ASSERT_TRUE(checked) << checked.problem.message();
        SessionRenderer::Options options;
        options.startS = 20;  // past the fade-in
        SessionRenderer renderer(buildTimeline(*checked.session), mode, ProgramSettings{}, nullptr, options);
        std::vector<float> samples(2 * kBlock);
        std::vector<std::pair<double, double>> heard, shown;
        for (std::size_t at = 0; at < kFrames; at += kBlock) {
          const AudioBuffer buffer{samples.data(), 2};
          renderer.renderTimed(kBlock, AudioBufferList(&buffer, 1), AudioBlockTiming{1'000'000'000, 0, true});
          const ClockSnapshot snap = renderer.snapshot();
          ASSERT_EQ(snap.lightHz, kBeatHz);
          for (std::size_t i = 0; i < kBlock; ++i) {
            const double t = static_cast<double>(at + i) / kRate;
            const double p = snap.lightPhase + snap.lightHz * static_cast<double>(i) / kRate;
            shown.emplace_back(t, dmx::pulseMultiplier(p - std::floor(p), light));
          }
          for (std::size_t w = 0; w + kCarrierFrames <= kBlock; w += kCarrierFrames / 2) {
            double power = 0, agreement = 0;
            for (std::size_t i = w; i < w + kCarrierFrames; ++i) {
              power += static_cast<double>(samples[2 * i]) * samples[2 * i];
              agreement += static_cast<double>(samples[2 * i]) * samples[2 * i + 1];
            }
            const double level = mode == "binaural" ? agreement : std::sqrt(power);
            heard.emplace_back((static_cast<double>(at + w) + kCarrierFrames / 2.0) / kRate, level / kCarrierFrames);
          }
        }
        double apart = peakCycles(shown, kBeatHz) - peakCycles(heard, kBeatHz);
        apart -= std::floor(apart + 0.5);
        EXPECT_LT(std::fabs(apart) / kBeatHz * 1000, 1.0)
            << mode << ", sound " << sound << ", light " << light << ": the light's pulse peaks "
            << apart / kBeatHz * 1000 << " ms after the sound's";
      }
    }
  }
}

TEST(SessionRenderer, KeepsRealTimeWhenTheDeviceLosesTime) {
  Json raw = {{"title", "Lang"}, {"phases", {{{"start", "00:00"}, {"end", "10:00"}, {"audioFrequencyHz", "8"}}}}};
  SessionRenderer renderer(buildTimeline(*checkSession(raw).session), "", ProgramSettings{});
  constexpr double kRate = kToneSampleRate;
  constexpr std::size_t kFrames = 4096;
  std::vector<float> samples(2 * kFrames);
  const AudioBuffer buffer{samples.data(), 2};
  double nowNs = 1e9;
  std::uint64_t pulled = 0;
  // The device takes a callback's frames in their time, its clock 200 ppm slow (a card's own
  // pace, followed); lateNs moves only this callback (the server's buffer covers it).
  double worstHeardNs = 0;  // the published clock against the device's own schedule
  const auto callback = [&](double lateNs) {
    renderer.renderTimed(kFrames, AudioBufferList(&buffer, 1), AudioBlockTiming{std::llround(nowNs + lateNs), 0, true});
    const double lastBlockNs = nowNs + (kFrames - SessionRenderer::kBlockFrames) / kRate * 1e9 * (1 + 200e-6);
    if (pulled > 20 * kFrames) worstHeardNs = std::max(worstHeardNs, std::fabs(renderer.snapshot().heardNs - lastBlockNs));
    pulled += kFrames;
    nowNs += kFrames / kRate * 1e9 * (1 + 200e-6);
  };
  const double startNs = nowNs;
  for (int i = 0; i < 110; ++i) callback(i % 5 == 3 ? 60e6 : 0);  // about 10 s
  EXPECT_LT(worstHeardNs, 2e6) << "a callback held up alone moved the light by " << worstHeardNs / 1e6 << " ms";
  const auto played = [&] { return static_cast<double>(pulled) / kRate; };
  // The session time at the end of the latest block: where the device has got to.
  const auto heardS = [&] { return renderer.snapshot().sessionS + SessionRenderer::kBlockFrames / kRate; };
  EXPECT_NEAR(heardS(), played(), 0.007)
      << "late callbacks whose sound the buffer covered, and the card's pace, are no lost time";

  // An underrun: the server played 300 ms of silence and took nothing meanwhile.
  nowNs += 300e6;
  for (int i = 0; i < 60; ++i) callback(0);  // about 5.5 s
  const double realS = (nowNs - startNs) / 1e9;
  EXPECT_NEAR(heardS(), realS, 0.03) << "the session keeps real time";
  EXPECT_GT(heardS() - played(), 0.25) << "the lost time was skipped";
}

TEST(SessionRenderer, OfflineSpanAndCancel) {
  Json raw = {{"title", "Kort"}, {"phases", {{{"start", "00:00"}, {"end", "00:10"}, {"audioFrequencyHz", "8"}}}}};
  const Session session = *checkSession(raw).session;
  OfflineRenderOptions span;
  span.fromS = 2.5;
  span.toS = 60;  // beyond the end: kept within the session
  EXPECT_EQ(offlineFrameCount(session, span), static_cast<std::uint64_t>(7.5 * 44100));
  std::uint64_t handed = 0;
  const std::uint64_t written = renderSessionOffline(session, ProgramSettings{}, span, [&](const float*, std::size_t frames) {
    handed += frames;
    return handed < 10000;  // a full disk after the third block
  });
  EXPECT_EQ(written, 8192u);
  // From 2.5 s the render is the live run's after a seek there before its first block.
  std::vector<float> offline;
  span.toS = 3.5;
  renderSessionOffline(session, ProgramSettings{}, span, [&](const float* s, std::size_t frames) {
    offline.insert(offline.end(), s, s + 2 * frames);
    return true;
  });
  SessionRenderer::Options options;
  options.startS = 2.5;
  SessionRenderer live(buildTimeline(session), "", ProgramSettings{}, nullptr, options);
  std::vector<float> heard(offline.size());
  live.renderInterleaved(heard.data(), heard.size() / 2);
  EXPECT_EQ(heard, offline);
  EXPECT_GT(*std::max_element(offline.begin(), offline.end()), 0.01f);
}

}  // namespace
}  // namespace renderer_test
}  // namespace solvera::session
