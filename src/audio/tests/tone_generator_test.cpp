// The render as a pure function of (settings, phases, equaliser, frame count).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "audio/tone_generator.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace tone_generator_test {

using namespace solvera;

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kRate = 44100.0;

struct Stereo {
  std::vector<float> left, right;
};

// Filter memory carried from block to block, as one output stream holds it.
struct Filters {
  Equalizer eq;
  PeakLimiter limiter;
};

Stereo render(const ToneSettings& s, TonePhases& phases, Filters& filters, std::size_t frames) {
  std::vector<float> interleaved(frames * 2, 7.0f);
  const AudioBuffer buffer{interleaved.data(), 2};
  renderTone(s, phases, filters.eq, filters.limiter, frames, AudioBufferList(&buffer, 1));
  Stereo out;
  for (std::size_t f = 0; f < frames; ++f) {
    out.left.push_back(interleaved[2 * f]);
    out.right.push_back(interleaved[2 * f + 1]);
  }
  return out;
}

Stereo render(const ToneSettings& s, std::size_t frames) {
  TonePhases phases;
  Filters filters;
  return render(s, phases, filters, frames);
}

ToneSettings settings(const char* mode, const char* shape, double carrier, double beat,
                      double volume, double balance = 0) {
  return ToneSettings::validated({mode, shape, carrier, beat, volume, balance, 0, 0, 0});
}

// The generator written out plainly, one frame at a time with the library's sin and fmod:
// the fast render must agree with it.
Stereo reference(const ToneSettings& s, std::size_t frames) {
  auto fraction = [](double phase) { return std::fmod(phase / kTwoPi, 1.0); };
  auto carrierSample = [&](double phase) {
    const double p = fraction(phase);
    switch (s.pulseShape) {
      case PulseShape::triangle: return -(2 * std::fabs(2 * p - 1) - 1);
      case PulseShape::square: return std::sin(phase) >= 0 ? 1.0 : -1.0;
      case PulseShape::trapezoid:
        return p < 0.2 ? -1 + (p / 0.2) * 2 : p < 0.6 ? 1.0 : p < 0.8 ? 1 - ((p - 0.6) / 0.2) * 2 : -1.0;
      case PulseShape::sawtooth: return 2 * p - 1;
      default: return std::sin(phase);
    }
  };
  auto trapezoid = [](double q) {
    return q < 0.2 ? q / 0.2 : q < 0.6 ? 1.0 : q < 0.8 ? (0.8 - q) / 0.2 : 0.0;
  };
  auto pulseEnv = [&](double q) {
    switch (s.pulseShape) {
      case PulseShape::triangle: return 1 - std::fabs(2 * q - 1);
      case PulseShape::square: return q < 0.5 ? 1.0 : 0.0;
      case PulseShape::trapezoid: return trapezoid(q);
      case PulseShape::sawtooth: return q;
      default: return 0.5 - 0.5 * std::cos(kTwoPi * q);
    }
  };
  auto isoEnv = [&](double q) {
    switch (s.pulseShape) {
      case PulseShape::square: return q < 0.5 ? 1.0 : 0.0;
      case PulseShape::triangle: return std::max(0.0, 1 - std::fabs(2 * q - 1));
      case PulseShape::trapezoid: return trapezoid(q);
      case PulseShape::sawtooth: return q;
      default:
        return q >= 0.5 ? 0.0 : std::min(std::min(q / 0.08, 1.0), std::min((0.5 - q) / 0.08, 1.0));
    }
  };
  double lp = 0, rp = 0, pp = 0;
  Stereo out;
  for (std::size_t f = 0; f < frames; ++f) {
    const double amp =
        std::max(0.0, std::min(s.volume * (s.pulseShape == PulseShape::triangle ? 1.15 : 1.0), 1.0));
    float l, r;
    if (s.mode == ToneMode::binaural) {
      const double half = s.beat / 2;
      l = static_cast<float>(carrierSample(lp) * amp * 0.45);
      r = static_cast<float>(carrierSample(rp) * amp * 0.45);
      lp += kTwoPi * std::max(20.0, s.carrier - half) / kRate;
      rp += kTwoPi * (s.carrier + half) / kRate;
    } else {
      double gain;
      if (s.mode == ToneMode::isochronic) {
        gain = isoEnv(pp);
      } else {
        gain = pulseEnv(pp) * (s.mode == ToneMode::isochronicMonaural ? isoEnv(pp) : 1.0);
        gain *= 0.8;
      }
      l = r = static_cast<float>(std::sin(lp) * gain * amp);
      lp += kTwoPi * s.carrier / kRate;
      rp = lp;
      pp += s.beat / kRate;
      if (pp >= 1) pp -= std::floor(pp);
    }
    l *= static_cast<float>(s.balance <= 0 ? 1.0 : 1.0 - s.balance);
    r *= static_cast<float>(s.balance >= 0 ? 1.0 : 1.0 + s.balance);
    out.left.push_back(l);
    out.right.push_back(r);
    if (lp >= kTwoPi) lp -= kTwoPi;
    if (rp >= kTwoPi) rp -= kTwoPi;
  }
  return out;
}

// Rising zero crossings per second of a channel.
double frequency(const std::vector<float>& s, std::size_t from, std::size_t to) {
  int crossings = 0;
  for (std::size_t i = from + 1; i < to; ++i) crossings += s[i - 1] < 0 && s[i] >= 0;
  return crossings * kRate / static_cast<double>(to - from);
}

float peak(const std::vector<float>& s, std::size_t from = 0, std::size_t to = SIZE_MAX) {
  float m = 0;
  for (std::size_t i = from; i < std::min(to, s.size()); ++i) m = std::max(m, std::fabs(s[i]));
  return m;
}

}  // namespace

TEST(ToneSettings, ValidationReplacesAndClamps) {
  auto s = ToneSettings::validated({"theta", "Sine", 5, 0, 2, -3, 20, -20, 12});
  EXPECT_EQ(s.mode, ToneMode::isochronic);
  EXPECT_EQ(s.pulseShape, PulseShape::sine);
  EXPECT_EQ(s.carrier, 20);
  EXPECT_EQ(s.beat, 0.1);
  EXPECT_EQ(s.volume, 1);
  EXPECT_EQ(s.balance, -1);
  EXPECT_EQ(s.bass, 12);
  EXPECT_EQ(s.mid, -12);
  EXPECT_EQ(s.treble, 12);

  auto kept =
      ToneSettings::validated({"isochronic-monaural", "sawtooth", 20000, 100, -1, 0.3, 1.5, 0, -2});
  EXPECT_EQ(kept.mode, ToneMode::isochronicMonaural);
  EXPECT_EQ(kept.pulseShape, PulseShape::sawtooth);
  EXPECT_EQ(kept.carrier, 20000) << "the highest carrier kept";
  EXPECT_EQ(kept.beat, 40);
  EXPECT_EQ(kept.volume, 0);
  EXPECT_EQ(kept.balance, 0.3);
  EXPECT_EQ(toneModeWord(kept.mode), "isochronic-monaural");
  EXPECT_EQ(pulseShapeWord(kept.pulseShape), "sawtooth");

  const double nan = std::nan("");
  auto poisoned = ToneSettings::validated({"binaural", "sine", nan, nan, nan, nan, nan, nan, nan});
  EXPECT_EQ(poisoned, ToneSettings::validated({"binaural", "sine", 20, 0.1, 0, 0, 0, 0, 0}));
  EXPECT_EQ(ToneSettings::validated({"binaural", "sine", INFINITY, -INFINITY, INFINITY, INFINITY,
                                     -INFINITY, INFINITY, INFINITY}),
            ToneSettings::validated({"binaural", "sine", 20, 0.1, 0, 0, 0, 0, 0}))
      << "not a number: lower limits, silence, neutral";
  // At or above half the sample rate a tone would fold back as another pitch, and 1e308 Hz
  // overflowed the phase step to infinity.
  EXPECT_EQ(ToneSettings::validated({"binaural", "sine", 22050, 10, 1, 0, 0, 0, 0}).carrier, 20000);
  EXPECT_EQ(ToneSettings::validated({"binaural", "sine", 1e308, 10, 1, 0, 0, 0, 0}).carrier, 20000);

  // A request without its optional fields: sine pulse, centred balance, flat gains.
  AudioRequest bare;
  bare.mode = "binaural";
  bare.carrier = 200;
  bare.beat = 10;
  bare.volume = 0.5;
  EXPECT_EQ(ToneSettings::validated(bare),
            ToneSettings::validated({"binaural", "sine", 200, 10, 0.5, 0, 0, 0, 0}));
}

TEST(ToneShapes, MatchTheirDefinitions) {
  using enum PulseShape;
  for (double phase : {0.0, 0.3, 1.5, 3.14159, 3.2, 4.7, 6.2831}) {
    EXPECT_NEAR(carrierSample(phase, sine), std::sin(phase), 1e-13) << phase;
    EXPECT_EQ(carrierSample(phase, square), std::sin(phase) >= 0 ? 1.0 : -1.0) << phase;
  }
  EXPECT_NEAR(carrierSample(7.0, sine), std::sin(7.0), 1e-13) << "outside [0, 2pi)";
  EXPECT_DOUBLE_EQ(carrierSample(0, triangle), -1);
  EXPECT_DOUBLE_EQ(carrierSample(kTwoPi * 0.5, triangle), 1);
  EXPECT_DOUBLE_EQ(carrierSample(kTwoPi * 0.25, triangle), 0);
  EXPECT_DOUBLE_EQ(carrierSample(kTwoPi * 0.1, trapezoid), 0);
  EXPECT_DOUBLE_EQ(carrierSample(kTwoPi * 0.4, trapezoid), 1);
  EXPECT_NEAR(carrierSample(kTwoPi * 0.7, trapezoid), 0, 1e-12);
  EXPECT_DOUBLE_EQ(carrierSample(kTwoPi * 0.9, trapezoid), -1);
  EXPECT_DOUBLE_EQ(carrierSample(kTwoPi * 0.75, sawtooth), 0.5);

  EXPECT_NEAR(pulseEnvelope(0.25, sine), 0.5, 1e-12);
  EXPECT_NEAR(pulseEnvelope(0.5, sine), 1.0, 1e-12);
  EXPECT_NEAR(pulseEnvelope(0.0, sine), 0.0, 1e-12);
  for (double q = 0; q < 1; q += 0.01) {
    EXPECT_NEAR(pulseEnvelope(q, sine), 0.5 - 0.5 * std::cos(kTwoPi * q), 1e-11) << q;
  }
  EXPECT_DOUBLE_EQ(pulseEnvelope(0.75, triangle), 0.5);
  EXPECT_EQ(pulseEnvelope(0.49, square), 1);
  EXPECT_EQ(pulseEnvelope(0.5, square), 0);
  EXPECT_DOUBLE_EQ(pulseEnvelope(0.7, trapezoid), 0.5);
  EXPECT_EQ(pulseEnvelope(0.3, sawtooth), 0.3);

  EXPECT_DOUBLE_EQ(isochronicEnvelope(0.04, sine), 0.5) << "ramp of 0.08 of the period";
  EXPECT_EQ(isochronicEnvelope(0.25, sine), 1);
  EXPECT_NEAR(isochronicEnvelope(0.46, sine), 0.5, 1e-12);
  EXPECT_EQ(isochronicEnvelope(0.5, sine), 0);
  EXPECT_EQ(isochronicEnvelope(0.99, sine), 0);
  EXPECT_DOUBLE_EQ(isochronicEnvelope(0.1, trapezoid), 0.5);
  EXPECT_EQ(isochronicEnvelope(0.5, triangle), 1);

  double q = 0.999;
  advancePulse(q, 441, kRate);
  EXPECT_NEAR(q, 0.009, 1e-12) << "only the fraction is kept";
}

TEST(ToneRender, AgreesWithThePlainDefinitionInEveryModeAndShape) {
  for (const char* mode : {"binaural", "monaural", "isochronic", "isochronic-monaural"}) {
    for (const char* shape : {"sine", "triangle", "square", "trapezoid", "sawtooth"}) {
      const auto s = settings(mode, shape, 523.25, 7.5, 0.7, 0.3);
      const std::size_t frames = 44100;  // crosses several pulse periods and chunk edges
      auto fast = render(s, frames);
      auto slow = reference(s, frames);
      std::size_t mismatches = 0;
      double worst = 0;
      for (std::size_t f = 0; f < frames; ++f) {
        const double d = std::max(std::fabs(fast.left[f] - slow.left[f]),
                                  std::fabs(fast.right[f] - slow.right[f]));
        worst = std::max(worst, d);
        // A square wave flips sign where the two sines disagree in the last bit only.
        mismatches += d > 1e-6;
      }
      EXPECT_LE(mismatches, 2u) << mode << ' ' << shape << " worst " << worst;
    }
  }
}

TEST(ToneRender, Frequencies) {
  auto binaural = render(settings("binaural", "sine", 200, 10, 0.5), 44100);
  EXPECT_NEAR(frequency(binaural.left, 0, 44100), 195, 1);
  EXPECT_NEAR(frequency(binaural.right, 0, 44100), 205, 1);

  // The left tone never goes below 20 Hz.
  auto low = render(settings("binaural", "sine", 30, 30, 0.5), 44100);
  EXPECT_NEAR(frequency(low.left, 0, 44100), 20, 1);
  EXPECT_NEAR(frequency(low.right, 0, 44100), 45, 1);

  auto monaural = render(settings("monaural", "square", 440, 10, 1), 44100);
  EXPECT_EQ(monaural.left, monaural.right);
  // Square gating at 10 Hz: sound in the first half of every 4410-frame period only.
  for (std::size_t period = 0; period < 10; ++period) {
    const std::size_t start = period * 4410;
    EXPECT_GT(peak(monaural.left, start + 10, start + 2195), 0.7f) << period;
    EXPECT_EQ(peak(monaural.left, start + 2215, start + 4400), 0.0f) << period;
  }
}

TEST(ToneRender, IsochronicSineWindow) {
  auto iso = render(settings("isochronic", "sine", 1000, 10, 1), 3 * 4410);
  for (std::size_t period = 0; period < 3; ++period) {
    const std::size_t start = period * 4410;
    EXPECT_EQ(peak(iso.left, start + 2206, start + 4409), 0.0f) << "silent second half";
    EXPECT_LE(peak(iso.left, start, start + 176), 0.5f + 1e-6f) << "rising ramp under half";
    EXPECT_GT(peak(iso.left, start + 360, start + 1845), 0.99f) << "full level between";
    EXPECT_LE(peak(iso.left, start + 2030, start + 2206), 0.5f + 1e-6f) << "falling ramp";
    for (std::size_t f = start; f < start + 2205; ++f) {
      const double q = static_cast<double>(f - start) / 4410.0;
      ASSERT_LE(std::fabs(iso.left[f]), isochronicEnvelope(q, PulseShape::sine) + 1e-3) << f;
    }
  }
}

TEST(ToneRender, LevelBalanceAndTriangleGain) {
  // Triangle at 0.9 plays at 1.0 (0.9 x 1.15, clamped); sine at 0.9 stays 0.9.
  EXPECT_NEAR(peak(render(settings("binaural", "triangle", 441, 10, 0.9), 4410).left), 0.45, 1e-6);
  EXPECT_NEAR(peak(render(settings("binaural", "sine", 441, 10, 0.9), 4410).left), 0.405, 1e-4);
  // 445 Hz peaks where the triangle gate does (frame 2205).
  EXPECT_NEAR(peak(render(settings("isochronic", "triangle", 445, 10, 0.5), 4410).left), 0.575,
              1e-3);

  auto centre = render(settings("monaural", "sine", 300, 5, 0.8, 0), 4410);
  auto right = render(settings("monaural", "sine", 300, 5, 0.8, 0.5), 4410);
  auto left = render(settings("monaural", "sine", 300, 5, 0.8, -0.5), 4410);
  EXPECT_EQ(right.right, centre.right) << "the near side stays at full level";
  EXPECT_EQ(left.left, centre.left);
  for (std::size_t f = 0; f < 4410; ++f) {
    ASSERT_EQ(right.left[f], centre.left[f] * 0.5f) << f;
    ASSERT_EQ(left.right[f], centre.right[f] * 0.5f) << f;
  }
  auto hardLeft = render(settings("binaural", "sine", 300, 5, 0.8, -1), 4410);
  EXPECT_EQ(peak(hardLeft.right), 0.0f);
  EXPECT_GT(peak(hardLeft.left), 0.3f);
}

TEST(ToneRender, PhasesContinueAcrossAnUpdate) {
  TonePhases phases;
  Filters filters;
  auto before = render(settings("binaural", "sine", 440, 10, 1), phases, filters, 1234);
  EXPECT_GT(phases.leftPhase, 0.5) << "a reset would jump here";
  auto after = render(settings("binaural", "sine", 660, 10, 1), phases, filters, 2000);
  std::vector<float> left = before.left;
  left.insert(left.end(), after.left.begin(), after.left.end());
  // No step may be larger than the fastest tone moves in one sample.
  const double maxStep = 0.45 * kTwoPi * 655 / kRate + 1e-6;
  for (std::size_t i = 1; i < left.size(); ++i) {
    ASSERT_LE(std::fabs(left[i] - left[i - 1]), maxStep) << "frame " << i;
  }
  EXPECT_NEAR(frequency(after.left, 0, 2000), 655, 25);
}

// The loudest settings in range: every mode and shape at full volume, at the carriers where
// each band boosts most, all gains up or one band alone. A boost of 12 dB carried a tone to
// four times full scale before the limiter.
TEST(ToneRender, NoSettingInRangeGoesBeyondFullScale) {
  const char* modes[] = {"isochronic", "binaural", "monaural", "isochronic-monaural"};
  const char* shapes[] = {"sine", "triangle", "square", "trapezoid", "sawtooth"};
  const double gains[][3] = {{12, 12, 12}, {12, -12, -12}, {-12, 12, -12}, {-12, -12, 12}};
  for (const char* mode : modes) {
    for (const char* shape : shapes) {
      for (double carrier : {20.0, 120.0, 1000.0, 20000.0}) {
        for (const auto& g : gains) {
          const auto s =
              ToneSettings::validated({mode, shape, carrier, 40, 1, 0, g[0], g[1], g[2]});
          TonePhases phases;
          Filters filters;
          auto out = render(s, phases, filters, 4410);
          auto bad = [](float v) { return !(std::fabs(v) <= 1.0f); };
          ASSERT_EQ(std::count_if(out.left.begin(), out.left.end(), bad) +
                        std::count_if(out.right.begin(), out.right.end(), bad),
                    0)
              << mode << " " << shape << " " << carrier << " Hz, gains " << g[0] << "/" << g[1]
              << "/" << g[2];
        }
      }
    }
  }

  // Settings that are not numbers, or beyond every limit, still give finite samples and phases.
  TonePhases phases;
  Filters filters;
  const double nan = std::nan("");
  auto wild =
      render(ToneSettings::validated({"binaural", "square", 1e308, nan, INFINITY, nan, 12, 12, 12}),
             phases, filters, 4410);
  EXPECT_TRUE(std::all_of(wild.left.begin(), wild.left.end(), [](float v) { return std::isfinite(v); }));
  EXPECT_TRUE(std::isfinite(phases.leftPhase) && std::isfinite(phases.rightPhase));
}

// The limiter turns a steady tone down to one constant level, so after the first peak the
// tone is as clean as without a boost; once the boost is gone it comes back to full level and
// then leaves the samples as rendered.
TEST(ToneRender, TheLimiterHoldsALoudToneSteadyAndRecovers) {
  TonePhases phases;
  Filters filters;
  auto loud = ToneSettings::validated({"isochronic", "sine", 1000, 10, 1, 0, 0, 12, 0});
  auto out = render(loud, phases, filters, 44100);
  const float level = peak(out.left, 4410);
  EXPECT_GT(level, 0.99f) << "turned down only as far as full scale";
  EXPECT_LE(level, 1.0f);
  // Each pulse's plateau (frames 0.08...0.42 of a 4410-frame period) at one level: peaks of
  // the quarter-millisecond cycles in later pulses equal those of the second pulse.
  for (std::size_t pulse = 2; pulse < 10; ++pulse) {
    const std::size_t from = pulse * 4410 + 400, to = pulse * 4410 + 1800;
    EXPECT_NEAR(peak(out.left, from, to), peak(out.left, 4410 + 400, 4410 + 1800), 1e-6) << pulse;
  }
  EXPECT_GT(filters.limiter.gain(), 0.2) << "no further down than the 12 dB boost needs";
  EXPECT_LT(filters.limiter.gain(), 0.3);

  auto flat = ToneSettings::validated({"isochronic", "sine", 1000, 10, 1, 0, 0, 0, 0});
  render(flat, phases, filters, 44100);
  EXPECT_EQ(filters.limiter.gain(), 1.0) << "full level again within a second";
  TonePhases samePhases = phases;
  Filters fresh;
  EXPECT_EQ(render(flat, phases, filters, 4410).left, render(flat, samePhases, fresh, 4410).left)
      << "within full scale the limiter passes samples unchanged";
}

TEST(ToneRender, BufferLayouts) {
  const auto s = settings("binaural", "sawtooth", 300, 20, 0.8, 0.2);
  const std::size_t frames = 600;
  std::vector<float> l(frames), r(frames), mono(frames), quad(frames * 4, 9.0f);
  {
    TonePhases p;
    Equalizer eq;
    PeakLimiter limiter;
    const AudioBuffer two[] = {{l.data(), 1}, {r.data(), 1}};
    renderTone(s, p, eq, limiter, frames, two);
  }
  {
    TonePhases p;
    Equalizer eq;
    PeakLimiter limiter;
    const AudioBuffer one{mono.data(), 1};
    renderTone(s, p, eq, limiter, frames, AudioBufferList(&one, 1));
  }
  {
    TonePhases p;
    Equalizer eq;
    PeakLimiter limiter;
    const AudioBuffer four{quad.data(), 4};
    renderTone(s, p, eq, limiter, frames, AudioBufferList(&four, 1));
  }
  auto interleaved = render(s, frames);
  EXPECT_EQ(l, interleaved.left);
  EXPECT_EQ(r, interleaved.right);
  for (std::size_t f = 0; f < frames; ++f) {
    ASSERT_EQ(mono[f], (l[f] + r[f]) / 2.0f) << "one channel gets the average";
    ASSERT_EQ(quad[4 * f], l[f]);
    ASSERT_EQ(quad[4 * f + 1], r[f]);
    ASSERT_EQ(quad[4 * f + 2], 0.0f) << "further channels silent";
    ASSERT_EQ(quad[4 * f + 3], 0.0f);
  }
  EXPECT_NE(l, r);
}

TEST(ToneRender, TheEqualiserIsInThePathAndRetunesBetweenBlocks) {
  auto rmsDb = [](const std::vector<float>& s, std::size_t from) {
    double sum = 0;
    for (std::size_t i = from; i < s.size(); ++i) sum += double(s[i]) * s[i];
    return 10 * std::log10(sum / static_cast<double>(s.size() - from));
  };
  auto at = [](double bass, double treble) {
    return ToneSettings::validated({"binaural", "sine", 50, 0.1, 0.5, 0, bass, 0, treble});
  };
  TonePhases phases;
  Filters filters;
  const double flat = rmsDb(render(at(0, 0), phases, filters, 44100).left, 22050);
  // The same equaliser, new gains from the next block on: the 50 Hz tone rises by the shelf.
  const double boosted = rmsDb(render(at(12, 0), phases, filters, 44100).left, 22050);
  EXPECT_NEAR(boosted - flat, 11.5, 1.0);
  const double treble = rmsDb(render(at(0, 12), phases, filters, 44100).left, 22050);
  EXPECT_NEAR(treble - flat, 0, 0.3) << "a treble boost leaves a 50 Hz tone alone";
}

}  // namespace tone_generator_test
