// The tone generator as pure functions: validated settings, waveform shapes, and the render of
// one block from (settings, phases, equaliser) into an output buffer list. No device here.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <span>
#include <string_view>

#include "audio/audio_limits.hpp"
#include "audio/audio_request.hpp"
#include "audio/equalizer.hpp"
#include "audio/limiter.hpp"

// The render kernels are also built for processors with AVX2 and FMA and picked at load
// time; GCC only (clang cannot clone templates), x86-64 only, and not under ThreadSanitizer,
// whose instrumented resolver would run before its runtime is up.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_THREAD__)
#define SOLVERA_RENDER_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define SOLVERA_RENDER_CLONES
#endif

namespace solvera {

inline constexpr double kToneSampleRate = 44100.0;

enum class ToneMode { isochronic, binaural, monaural, isochronicMonaural };
enum class PulseShape { sine, triangle, square, trapezoid, sawtooth };

// Exact, case-sensitive words; anything else falls back to isochronic / sine.
ToneMode toneModeFromWord(std::string_view word);
PulseShape pulseShapeFromWord(std::string_view word);
std::string_view toneModeWord(ToneMode mode);
std::string_view pulseShapeWord(PulseShape shape);

// The nine settings the render thread shares with the request queue, always validated.
// Trivially copyable, so a snapshot is a plain copy under the guard.
struct ToneSettings {
  ToneMode mode = ToneMode::isochronic;
  PulseShape pulseShape = PulseShape::sine;
  double carrier = 528.0;
  double beat = 6.0;
  double volume = 0.2;
  double balance = 0.0;
  double bass = 0.0;
  double mid = 0.0;
  double treble = 0.0;

  // The settings a request asks for. Absent fields take their defaults (sine pulse, centred
  // balance, flat gains); unknown words are replaced and values clamped: carrier 20...20000 Hz,
  // beat 0.1...40 Hz, volume 0...1, balance -1...1, gains -12...12 dB. A value that is not a
  // finite number takes the lower limit (carrier, beat), silence (volume) or the neutral 0
  // (balance, gains): it would otherwise poison the running phases until the next stop.
  static ToneSettings validated(const AudioRequest& request);

  friend bool operator==(const ToneSettings&, const ToneSettings&) = default;
};

// Oscillator phases: radians in [0, 2pi) for the tones, a fraction in [0, 1) for the pulse.
struct TonePhases {
  double leftPhase = 0;
  double rightPhase = 0;
  double pulsePhase = 0;

  friend bool operator==(const TonePhases&, const TonePhases&) = default;
};

// One output buffer as the device hands it over: a sample pointer and its channel count
// (1 = one channel, 2 or more = interleaved frames of that many channels).
struct AudioBuffer {
  float* data = nullptr;
  std::uint32_t channels = 1;
};
using AudioBufferList = std::span<const AudioBuffer>;

namespace tone {

inline constexpr double kPi = std::numbers::pi;
inline constexpr double kTwoPi = 2.0 * std::numbers::pi;
inline constexpr double kHalfPi = std::numbers::pi / 2.0;

// sin(x) for |x| <= pi by folding onto [0, pi/2] and an odd Taylor polynomial to x^17: the
// error is below 1e-13, far under a 32-bit float sample's resolution, at a fraction of the
// library call's cost.
inline double sinFolded(double x) {
  const double folded = kHalfPi - std::fabs(kHalfPi - std::fabs(x));
  const double f2 = folded * folded;
  double p = 1.0 / 355687428096000.0;  // 1/17!
  p = p * f2 - 1.0 / 1307674368000.0;  // -1/15!
  p = p * f2 + 1.0 / 6227020800.0;     // 1/13!
  p = p * f2 - 1.0 / 39916800.0;       // -1/11!
  p = p * f2 + 1.0 / 362880.0;         // 1/9!
  p = p * f2 - 1.0 / 5040.0;           // -1/7!
  p = p * f2 + 1.0 / 120.0;            // 1/5!
  p = p * f2 - 1.0 / 6.0;              // -1/3!
  p = p * f2 + 1.0;
  return std::copysign(folded * p, x);
}

// sin of any finite phase; phases in [0, 2pi) take the fast path.
inline double phaseSin(double phase) {
  if (phase >= 0.0 && phase < kTwoPi) return -sinFolded(phase - kPi);
  return sinFolded(std::remainder(phase, kTwoPi));
}

}  // namespace tone

// Waveform of the binaural tones, -1...+1.
double carrierSample(double phase, PulseShape shape);
// Monaural amplitude envelope over one pulse period (pulsePhase in [0, 1)), 0...1.
double pulseEnvelope(double pulsePhase, PulseShape shape);
// Isochronic gate over one pulse period, 0...1.
double isochronicEnvelope(double pulsePhase, PulseShape shape);
// How loud the beat is over one of its periods (beatPhase below), 0...1: the isochronic gate,
// the amplitude envelope, or both; for binaural how well the two tones agree, whole in step.
double beatLoudness(ToneMode mode, double beatPhase, PulseShape shape);
// Moves the pulse phase on by one sample and keeps only its fraction.
void advancePulse(double& pulsePhase, double frequency, double sampleRate = kToneSampleRate);

// Places one stereo frame into the buffer layout: one buffer per channel, one mono buffer
// (the average), or one interleaved buffer.
void writeSample(float left, float right, std::size_t frame, AudioBufferList buffers);

// Where the beat stands, as a fraction of its period in [0, 1): the pulse phase for the gated
// and amplitude-modulated modes (0 = the start of a pulse's rise), the phase of the right tone
// ahead of the left for binaural (0 = the tones in step, the loudest point of the beat).
double beatPhase(ToneMode mode, const TonePhases& phases);

// The tone alone at any sample rate, as two channel arrays: the shapes, levels and balance of
// the render below, without equaliser or limiter. No allocation, no lock, no I/O.
void synthesiseTone(const ToneSettings& settings, TonePhases& phases, double sampleRate,
                    float* left, float* right, std::size_t frames);

// Renders frames of the tone described by settings into buffers, continuing from phases
// (advanced in place) through the equaliser (retuned to the settings' gains, its memory
// carried on) and the limiter. No allocation, no lock, no I/O: the audio callback, the tests
// and the render benchmark all call this.
void renderTone(const ToneSettings& settings, TonePhases& phases, Equalizer& equalizer,
                PeakLimiter& limiter, std::size_t frames, AudioBufferList buffers);

}  // namespace solvera
