// The tone render path per mode with the equaliser on: nanoseconds per stereo frame and the
// real-time factor at 44100 Hz.
#include <benchmark/benchmark.h>

#include <vector>

#include "audio/tone_generator.hpp"

using namespace solvera;

namespace {

// One device block, as SDL asks for it.
constexpr std::size_t kBlockFrames = 512;

void renderMode(benchmark::State& state, const char* mode, const char* shape) {
  // Every band off zero, so all three filters run on both channels.
  const ToneSettings settings =
      ToneSettings::validated({mode, shape, 528, 7.83, 0.6, 0.2, 4, -3, 2});
  TonePhases phases;
  Equalizer equalizer;
  PeakLimiter limiter;
  std::vector<float> block(kBlockFrames * 2);
  const AudioBuffer buffer{block.data(), 2};
  for (auto _ : state) {
    renderTone(settings, phases, equalizer, limiter, kBlockFrames, AudioBufferList(&buffer, 1));
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  const double frames = static_cast<double>(state.iterations()) * kBlockFrames;
  state.counters["ns_per_frame"] =
      benchmark::Counter(frames * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["realtime_x"] =
      benchmark::Counter(frames / kToneSampleRate, benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK_CAPTURE(renderMode, binaural_sine, "binaural", "sine");
BENCHMARK_CAPTURE(renderMode, binaural_triangle, "binaural", "triangle");
BENCHMARK_CAPTURE(renderMode, monaural_sine, "monaural", "sine");
BENCHMARK_CAPTURE(renderMode, isochronic_sine, "isochronic", "sine");
BENCHMARK_CAPTURE(renderMode, isochronic_monaural_sine, "isochronic-monaural", "sine");
BENCHMARK_CAPTURE(renderMode, isochronic_monaural_trapezoid, "isochronic-monaural", "trapezoid");

BENCHMARK_MAIN();
