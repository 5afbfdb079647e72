// Settings validation, the waveform shapes and the block render of the tone generator.
#include "audio/tone_generator.hpp"

#include <algorithm>
#include <array>

namespace solvera {
namespace {

using tone::kTwoPi;

// Frames rendered into the stack before the equaliser and the copy into the device buffers.
constexpr std::size_t kChunkFrames = 256;

// The fraction of phase / 2pi, truncating as a remainder by 1 does.
inline double cycleFraction(double phase) {
  const double t = phase / kTwoPi;
  return t >= 0.0 && t < 1.0 ? t : std::fmod(t, 1.0);
}

// The binaural waveform from the tone's sine and its position p in the cycle [0, 1).
template <PulseShape S>
inline double carrierShape(double sine, double p) {
  if constexpr (S == PulseShape::triangle) {
    return -(2.0 * std::fabs(2.0 * p - 1.0) - 1.0);
  } else if constexpr (S == PulseShape::square) {
    return sine >= 0.0 ? 1.0 : -1.0;
  } else if constexpr (S == PulseShape::trapezoid) {
    const double rise = -1.0 + (p * 5.0) * 2.0;
    const double fall = 1.0 - ((p - 0.6) * 5.0) * 2.0;
    return p < 0.2 ? rise : p < 0.6 ? 1.0 : p < 0.8 ? fall : -1.0;
  } else if constexpr (S == PulseShape::sawtooth) {
    return 2.0 * p - 1.0;
  } else {
    return sine;
  }
}

// The trapezoid rises over the first fifth, holds, falls over the fourth fifth, rests.
// Envelopes are written as selects of plain values (and divide by a constant as a multiply
// by its reciprocal, equal to the last bits) so that the sample loops vectorise.
inline double trapezoidEnvelope(double q) {
  const double rise = q * 5.0;
  const double fall = (0.8 - q) * 5.0;
  return q < 0.2 ? rise : q < 0.6 ? 1.0 : q < 0.8 ? fall : 0.0;
}

template <PulseShape S>
inline double pulseEnvelopeOf(double q) {
  if constexpr (S == PulseShape::triangle) {
    return 1.0 - std::fabs(2.0 * q - 1.0);
  } else if constexpr (S == PulseShape::square) {
    return q < 0.5 ? 1.0 : 0.0;
  } else if constexpr (S == PulseShape::trapezoid) {
    return trapezoidEnvelope(q);
  } else if constexpr (S == PulseShape::sawtooth) {
    return q;
  } else {
    // cos(2 pi q) = -cos(2 pi q - pi) = -sin(pi/2 - |2 pi q - pi|), folded into [-pi/2, pi/2].
    return 0.5 - 0.5 * -tone::sinFolded(tone::kHalfPi - std::fabs(kTwoPi * q - tone::kPi));
  }
}

template <PulseShape S>
inline double isochronicEnvelopeOf(double q) {
  if constexpr (S == PulseShape::square) {
    return q < 0.5 ? 1.0 : 0.0;
  } else if constexpr (S == PulseShape::triangle) {
    return std::max(0.0, 1.0 - std::fabs(2.0 * q - 1.0));
  } else if constexpr (S == PulseShape::trapezoid) {
    return trapezoidEnvelope(q);
  } else if constexpr (S == PulseShape::sawtooth) {
    return q;
  } else {
    // A half-period window with linear ramps of 0.08 of the period at both ends.
    const double window = std::min(std::min(q * 12.5, 1.0), std::min((0.5 - q) * 12.5, 1.0));
    return q >= 0.5 ? 0.0 : window;
  }
}

template <typename F>
decltype(auto) withShape(PulseShape shape, F&& f) {
  switch (shape) {
    case PulseShape::triangle: return f.template operator()<PulseShape::triangle>();
    case PulseShape::square: return f.template operator()<PulseShape::square>();
    case PulseShape::trapezoid: return f.template operator()<PulseShape::trapezoid>();
    case PulseShape::sawtooth: return f.template operator()<PulseShape::sawtooth>();
    case PulseShape::sine: break;
  }
  return f.template operator()<PulseShape::sine>();
}

// One subtraction of 2pi keeps a phase in range for carriers below the sample rate; a higher
// carrier is reduced fully so that its phase cannot grow without bound and lose precision.
inline void wrapPhase(double& phase) {
  if (phase >= kTwoPi) {
    phase -= kTwoPi;
    if (phase >= kTwoPi) phase = std::fmod(phase, kTwoPi);
  }
}

inline void advancePulseBy(double& pulsePhase, double increment) {
  pulsePhase += increment;
  if (pulsePhase >= 1.0) pulsePhase -= std::floor(pulsePhase);
}

// Values fixed for a whole block, derived from one settings snapshot.
struct BlockConstants {
  double amp;
  double carrierStep;  // radians per frame of the single tone
  double leftStep;     // binaural
  double rightStep;    // binaural
  double pulseStep;    // pulse periods per frame
  float leftGain;
  float rightGain;
};

BlockConstants blockConstants(const ToneSettings& s, double sampleRate) {
  const double shapeGain = s.pulseShape == PulseShape::triangle ? 1.15 : 1.0;
  const double half = s.beat / 2.0;
  return {
      .amp = std::max(0.0, std::min(s.volume * shapeGain, 1.0)),
      .carrierStep = kTwoPi * s.carrier / sampleRate,
      .leftStep = kTwoPi * std::max(20.0, s.carrier - half) / sampleRate,
      .rightStep = kTwoPi * (s.carrier + half) / sampleRate,
      .pulseStep = s.beat / sampleRate,
      // One-sided linear balance: only the far side is turned down.
      .leftGain = static_cast<float>(s.balance <= 0.0 ? 1.0 : 1.0 - s.balance),
      .rightGain = static_cast<float>(s.balance >= 0.0 ? 1.0 : 1.0 + s.balance),
  };
}

// sin of a phase already wrapped into [0, 2pi): no range check, so the loop vectorises.
inline double wrappedSin(double phase) { return -tone::sinFolded(phase - tone::kPi); }

// The fraction of a wrapped phase over 2pi; the division may round up to exactly 1.
inline double wrappedFraction(double phase) {
  const double t = phase / kTwoPi;
  return t >= 1.0 ? t - 1.0 : t;
}

template <PulseShape S>
inline double wrappedCarrierSample(double phase) {
  return carrierShape<S>(wrappedSin(phase), wrappedFraction(phase));
}

// Two stages per chunk. The phases are a sequential recurrence, so they are stepped first,
// frame by frame, into arrays; every sample then depends only on its own frame's phases and
// the second loop runs without a carried dependency (and vectorises).
// Each sample comes from the phases as they stood before the frame's increment.
template <ToneMode M, PulseShape S>
SOLVERA_RENDER_CLONES void synthesise(const BlockConstants& k, TonePhases& phases, float* left, float* right,
                std::size_t frames) {
  alignas(64) double first[kChunkFrames];
  alignas(64) double second[kChunkFrames];
  double lp = phases.leftPhase, rp = phases.rightPhase, q = phases.pulsePhase;
  if constexpr (M == ToneMode::binaural) {
    for (std::size_t i = 0; i < frames; ++i) {
      first[i] = lp;
      second[i] = rp;
      lp += k.leftStep;
      rp += k.rightStep;
      wrapPhase(lp);
      wrapPhase(rp);
    }
    const double gain = k.amp;
    for (std::size_t i = 0; i < frames; ++i) {
      const float l = static_cast<float>(wrappedCarrierSample<S>(first[i]) * gain * 0.45);
      const float r = static_cast<float>(wrappedCarrierSample<S>(second[i]) * gain * 0.45);
      left[i] = l * k.leftGain;
      right[i] = r * k.rightGain;
    }
  } else {
    for (std::size_t i = 0; i < frames; ++i) {
      first[i] = lp;
      second[i] = q;
      lp += k.carrierStep;
      advancePulseBy(q, k.pulseStep);
      wrapPhase(lp);
    }
    if (frames > 0) rp = lp;  // the single tone drives both channels
    for (std::size_t i = 0; i < frames; ++i) {
      float v;
      if constexpr (M == ToneMode::isochronic) {
        v = static_cast<float>(wrappedSin(first[i]) * isochronicEnvelopeOf<S>(second[i]) * k.amp);
      } else {
        const double env = pulseEnvelopeOf<S>(second[i]);
        const double gate = M == ToneMode::isochronicMonaural ? isochronicEnvelopeOf<S>(second[i]) : 1.0;
        v = static_cast<float>(wrappedSin(first[i]) * env * gate * k.amp * 0.8);
      }
      left[i] = v * k.leftGain;
      right[i] = v * k.rightGain;
    }
  }
  phases = {lp, rp, q};
}

using Synthesiser = void (*)(const BlockConstants&, TonePhases&, float*, float*, std::size_t);

template <ToneMode M>
Synthesiser synthesiserFor(PulseShape shape) {
  return withShape(shape, []<PulseShape S>() -> Synthesiser { return &synthesise<M, S>; });
}

Synthesiser synthesiserFor(ToneMode mode, PulseShape shape) {
  switch (mode) {
    case ToneMode::binaural: return synthesiserFor<ToneMode::binaural>(shape);
    case ToneMode::monaural: return synthesiserFor<ToneMode::monaural>(shape);
    case ToneMode::isochronicMonaural: return synthesiserFor<ToneMode::isochronicMonaural>(shape);
    case ToneMode::isochronic: break;
  }
  return synthesiserFor<ToneMode::isochronic>(shape);
}

// A value that is not a finite number never survives a clamp; it takes the fallback instead.
double clampOr(double value, ValueRange range, double fallback) {
  if (!std::isfinite(value)) return fallback;
  return std::max(range.min, std::min(value, range.max));
}

constexpr std::array<std::string_view, 4> kModeWords = {"isochronic", "binaural", "monaural",
                                                         "isochronic-monaural"};
constexpr std::array<std::string_view, 5> kShapeWords = {"sine", "triangle", "square",
                                                          "trapezoid", "sawtooth"};

}  // namespace

ToneMode toneModeFromWord(std::string_view word) {
  for (std::size_t i = 0; i < kModeWords.size(); ++i) {
    if (word == kModeWords[i]) return static_cast<ToneMode>(i);
  }
  return ToneMode::isochronic;
}

PulseShape pulseShapeFromWord(std::string_view word) {
  for (std::size_t i = 0; i < kShapeWords.size(); ++i) {
    if (word == kShapeWords[i]) return static_cast<PulseShape>(i);
  }
  return PulseShape::sine;
}

std::string_view toneModeWord(ToneMode mode) { return kModeWords.at(static_cast<std::size_t>(mode)); }
std::string_view pulseShapeWord(PulseShape shape) {
  return kShapeWords.at(static_cast<std::size_t>(shape));
}

ToneSettings ToneSettings::validated(const AudioRequest& r) {
  ToneSettings s;
  s.mode = toneModeFromWord(r.mode);
  s.pulseShape = pulseShapeFromWord(r.pulseShape.value_or("sine"));
  s.carrier = clampOr(r.carrier, kCarrierRangeHz, kCarrierRangeHz.min);
  s.beat = clampOr(r.beat, kBeatRangeHz, kBeatRangeHz.min);
  s.volume = clampOr(r.volume, kVolumeRange, 0.0);
  s.balance = clampOr(r.balance.value_or(0.0), kBalanceRange, 0.0);
  s.bass = clampOr(r.bass.value_or(0.0), kEqualizerGainRangeDb, 0.0);
  s.mid = clampOr(r.mid.value_or(0.0), kEqualizerGainRangeDb, 0.0);
  s.treble = clampOr(r.treble.value_or(0.0), kEqualizerGainRangeDb, 0.0);
  return s;
}

double carrierSample(double phase, PulseShape shape) {
  return withShape(shape, [phase]<PulseShape S>() {
    return carrierShape<S>(tone::phaseSin(phase), cycleFraction(phase));
  });
}

double pulseEnvelope(double pulsePhase, PulseShape shape) {
  return withShape(shape, [pulsePhase]<PulseShape S>() { return pulseEnvelopeOf<S>(pulsePhase); });
}

double isochronicEnvelope(double pulsePhase, PulseShape shape) {
  return withShape(shape,
                   [pulsePhase]<PulseShape S>() { return isochronicEnvelopeOf<S>(pulsePhase); });
}

double beatLoudness(ToneMode mode, double beatPhase, PulseShape shape) {
  switch (mode) {
    case ToneMode::isochronic: return isochronicEnvelope(beatPhase, shape);
    case ToneMode::monaural: return pulseEnvelope(beatPhase, shape);
    case ToneMode::isochronicMonaural: return pulseEnvelope(beatPhase, shape) * isochronicEnvelope(beatPhase, shape);
    case ToneMode::binaural: break;
  }
  return 0.5 + 0.5 * std::cos(kTwoPi * beatPhase);
}

void advancePulse(double& pulsePhase, double frequency, double sampleRate) {
  advancePulseBy(pulsePhase, frequency / sampleRate);
}

void writeSample(float left, float right, std::size_t frame, AudioBufferList buffers) {
  if (buffers.size() >= 2) {
    buffers[0].data[frame] = left;
    buffers[1].data[frame] = right;
  } else if (buffers.size() == 1 && buffers[0].channels <= 1) {
    buffers[0].data[frame] = (left + right) / 2.0f;
  } else if (buffers.size() == 1) {
    // Interleaved: left and right lead each frame; further channels stay silent rather than
    // holding whatever the buffer held before.
    const std::size_t stride = buffers[0].channels;
    float* out = buffers[0].data + stride * frame;
    out[0] = left;
    out[1] = right;
    for (std::size_t c = 2; c < stride; ++c) out[c] = 0.0f;
  }
}

double beatPhase(ToneMode mode, const TonePhases& phases) {
  if (mode != ToneMode::binaural) return phases.pulsePhase;
  // The beat of two tones is the running difference of their phases.
  double cycles = (phases.rightPhase - phases.leftPhase) / kTwoPi;
  cycles -= std::floor(cycles);
  return cycles >= 1.0 ? 0.0 : cycles;
}

void synthesiseTone(const ToneSettings& settings, TonePhases& phases, double sampleRate,
                    float* left, float* right, std::size_t frames) {
  const BlockConstants constants = blockConstants(settings, sampleRate);
  const Synthesiser synthesise = synthesiserFor(settings.mode, settings.pulseShape);
  for (std::size_t done = 0; done < frames;) {
    const std::size_t n = std::min(kChunkFrames, frames - done);
    synthesise(constants, phases, left + done, right + done, n);
    done += n;
  }
}

void renderTone(const ToneSettings& settings, TonePhases& phases, Equalizer& equalizer,
                PeakLimiter& limiter, std::size_t frames, AudioBufferList buffers) {
  const BlockConstants constants = blockConstants(settings, kToneSampleRate);
  const Synthesiser synthesise = synthesiserFor(settings.mode, settings.pulseShape);
  equalizer.setGains(settings.bass, settings.mid, settings.treble);

  float left[kChunkFrames];
  float right[kChunkFrames];
  for (std::size_t done = 0; done < frames;) {
    const std::size_t n = std::min(kChunkFrames, frames - done);
    synthesise(constants, phases, left, right, n);
    equalizer.process(left, right, n);
    limiter.process(left, right, n);
    if (buffers.size() == 1 && buffers[0].channels == 2) {
      // The layout every device here hands over, interleaved stereo, as a plain copy loop.
      float* out = buffers[0].data + 2 * done;
      for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
      }
    } else {
      for (std::size_t i = 0; i < n; ++i) writeSample(left[i], right[i], done + i, buffers);
    }
    done += n;
  }
}

}  // namespace solvera
