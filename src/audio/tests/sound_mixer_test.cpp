// The session's mixer: noise colours, the reverb's tails, level glides, the beat's phase
// through glides, and the same samples from the same seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "audio/sound_mixer.hpp"
#include "audio/tests/spectrum.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace sound_mixer_test {

using namespace solvera;
using solvera::test::bandLimited;
using solvera::test::powerSpectrum;
using solvera::test::rms;

namespace {

constexpr double kRate = 44100.0;
constexpr std::size_t kBlock = 512;

struct Stereo {
  std::vector<float> left, right;
};

// Renders seconds of the scene in device-sized blocks, appending to out.
void renderInto(SoundMixer& mixer, const SoundScene& scene, double seconds, Stereo& out,
                std::size_t block = kBlock) {
  const auto frames = static_cast<std::size_t>(seconds * mixer.sampleRate());
  std::vector<float> buffer(block * 2);
  for (std::size_t done = 0; done < frames;) {
    const std::size_t n = std::min(block, frames - done);
    mixer.render(scene, n, buffer.data());
    for (std::size_t i = 0; i < n; ++i) {
      out.left.push_back(buffer[2 * i]);
      out.right.push_back(buffer[2 * i + 1]);
    }
    done += n;
  }
}

SoundScene noiseScene(NoiseType type) {
  SoundScene scene;
  scene.noiseType = type;
  scene.noiseLevel = 1.0;
  scene.master = 1.0;
  return scene;
}

SoundScene beatScene(const char* mode, double carrier, double beat, double volume) {
  SoundScene scene;
  scene.tone = ToneSettings::validated({mode, "sine", carrier, beat, volume, 0, 0, 0, 0});
  return scene;
}

// The slope of the power spectral density in dB per octave, fitted over octave bands from
// `low` Hz up to `high` Hz (band power divided by band width, against the band's octave).
double slopeDbPerOctave(const std::vector<float>& signal, double low, double high) {
  const std::size_t size = 8192;
  const std::vector<double> p = powerSpectrum(signal, size);
  std::vector<double> x, y;
  for (double f = low; f * 2 <= high * 1.0001; f *= 2) {
    double sum = 0;
    std::size_t bins = 0;
    for (std::size_t k = 0; k < p.size(); ++k) {
      const double hz = static_cast<double>(k) * kRate / size;
      if (hz >= f && hz < 2 * f) {
        sum += p[k];
        ++bins;
      }
    }
    x.push_back(std::log2(f * std::sqrt(2.0)));
    y.push_back(10 * std::log10(sum / static_cast<double>(bins)));
  }
  const double n = static_cast<double>(x.size());
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sx += x[i];
    sy += y[i];
    sxx += x[i] * x[i];
    sxy += x[i] * y[i];
  }
  return (n * sxy - sx * sy) / (n * sxx - sx * sx);
}

double correlation(const std::vector<float>& a, const std::vector<float>& b) {
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ab += double{a[i]} * b[i];
    aa += double{a[i]} * a[i];
    bb += double{b[i]} * b[i];
  }
  return ab / std::sqrt(aa * bb);
}

// Reverberation time from a decay: Schroeder's backward-integrated energy of the signal, the
// straight line through its -5 and -35 dB points, extended to 60 dB.
double reverberationSeconds(const std::vector<float>& decay, double rate) {
  std::vector<double> energy(decay.size() + 1, 0.0);
  for (std::size_t i = decay.size(); i-- > 0;) energy[i] = energy[i + 1] + double{decay[i]} * decay[i];
  auto crossing = [&](double db) {
    const double level = energy[0] * std::pow(10.0, db / 10.0);
    for (std::size_t i = 0; i < decay.size(); ++i) {
      if (energy[i] <= level) return static_cast<double>(i) / rate;
    }
    return static_cast<double>(decay.size()) / rate;
  };
  return (crossing(-35) - crossing(-5)) * 2.0;
}

}  // namespace

TEST(SoundMixerNoise, ColoursHaveTheirSpectralSlopeLevelAndWidth) {
  struct Case {
    NoiseType type;
    double slope, tolerance;
    double rms;  // the page's own noise, peak-normalised, measured the same way
  };
  for (const Case& c : {Case{NoiseType::white, 0.0, 0.3, 0.289}, Case{NoiseType::pink, -3.0, 0.4, 0.118},
                        Case{NoiseType::brown, -5.75, 0.5, 0.114}}) {
    const std::string name(noiseTypeWord(c.type));
    SoundMixer mixer;
    const SoundScene scene = noiseScene(c.type);
    mixer.snapLevels(scene);
    Stereo out;
    renderInto(mixer, scene, 8.0, out);
    // Octave bands from 250 Hz to 8 kHz; above that the brown walk's digital integrator
    // flattens (its ideal curve falls 5.3 to 5.9 dB per octave in these bands).
    EXPECT_NEAR(slopeDbPerOctave(out.left, 250, 8000), c.slope, c.tolerance) << name << " left";
    EXPECT_NEAR(slopeDbPerOctave(out.right, 250, 8000), c.slope, c.tolerance) << name << " right";
    EXPECT_NEAR(rms(out.left), c.rms, c.rms * 0.15) << name;
    EXPECT_NEAR(rms(out.right), c.rms, c.rms * 0.15) << name;
    // Two sources, not one copied to both sides.
    EXPECT_LT(std::fabs(correlation(out.left, out.right)), 0.05) << name;
  }
}

TEST(SoundMixerNoise, ChangeOfColourGlidesWithoutAStep) {
  SoundMixer mixer;
  SoundScene scene = noiseScene(NoiseType::white);
  mixer.snapLevels(scene);
  Stereo out;
  renderInto(mixer, scene, 1.0, out);
  const std::size_t change = out.left.size();
  scene.noiseType = NoiseType::brown;
  renderInto(mixer, scene, 2.0, out);
  // 50 ms after the change the white part is mostly gone, after 0.5 s the slope is brown's.
  const std::vector<float> after(out.left.begin() + static_cast<long>(change + kRate / 2),
                                 out.left.end());
  EXPECT_NEAR(slopeDbPerOctave(after, 250, 8000), -5.75, 0.5);
  // White's sample-to-sample steps are large, brown's small; a hard cut would leave white
  // steps up to the change and brown steps at once. The glide eases over several ms.
  auto meanStep = [&](std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += std::fabs(out.left[i] - out.left[i - 1]);
    return sum / static_cast<double>(to - from);
  };
  const double before = meanStep(change - 441, change);
  const double justAfter = meanStep(change, change + 44);
  const double later = meanStep(change + 4410, change + 8820);
  EXPECT_GT(justAfter, 0.5 * before) << "the colour changed in one step";
  EXPECT_LT(later, 0.2 * before) << "the colour did not change";
}

TEST(SoundMixerReverb, TailLengthAndLevelPerPreset) {
  double previous = 0;
  for (ReverbPreset preset :
       {ReverbPreset::room, ReverbPreset::plate, ReverbPreset::hall, ReverbPreset::cathedral}) {
    const std::string name(reverbPresetWord(preset));
    const double tail = reverbTailSeconds(preset);
    // Noise into a fully wet mix through the mixer, then cut at once: what follows is the
    // reverb's own tail.
    SoundMixer mixer;
    SoundScene scene = noiseScene(NoiseType::white);
    scene.noiseLevel = 0.5;  // well below the limiter, which would otherwise set the level
    scene.reverbPreset = preset;
    scene.reverbMix = 1.0;
    mixer.snapLevels(scene);
    Stereo out;
    renderInto(mixer, scene, 1.0, out);
    const double during = rms(out.left, out.left.size() / 2);
    scene.noiseLevel = 0.0;
    mixer.snapLevels(scene);
    Stereo decay;
    renderInto(mixer, scene, 2.0 * tail, decay);
    // In the middle of the band, where the damping of high frequencies has little say.
    const std::vector<float> band = bandLimited(decay.left, kRate, 250, 2000);
    const double measured = reverberationSeconds(band, kRate);
    EXPECT_NEAR(measured, tail, 0.12 * tail) << name;
    EXPECT_GT(measured, previous) << name << " is not longer than the preset before it";
    previous = measured;
    // Dry at 0.4 plus a wet path of about the input's power (white noise at 0.5 x 0.289).
    EXPECT_NEAR(during, 0.1445 * std::sqrt(0.16 + 1.0), 0.1445 * 0.1) << name;
    // High frequencies die sooner than low ones.
    const double high = reverberationSeconds(bandLimited(decay.left, kRate, 6000, 12000), kRate);
    EXPECT_LT(high, 0.95 * measured) << name;
  }
}

TEST(SoundMixerLevels, GlideWithThePagesTimeConstant) {
  SoundMixer mixer;
  // A binaural sine beat: the level of the tone itself is easy to read from its peaks.
  SoundScene scene = beatScene("binaural", 400, 4, 0.0);
  Stereo out;
  renderInto(mixer, scene, 0.1, out);
  EXPECT_EQ(rms(out.left), 0.0) << "silent before the level rises";
  scene.tone.volume = 0.8;
  const std::size_t start = out.left.size();
  renderInto(mixer, scene, 3.0, out);
  auto peakNear = [&](double seconds) {
    const auto at = start + static_cast<std::size_t>(seconds * kRate);
    float peak = 0;
    for (std::size_t i = at - 60; i < at + 60; ++i) peak = std::max(peak, std::fabs(out.left[i]));
    return peak;
  };
  const double full = 0.8 * 0.45;  // the binaural tone's amplitude at volume 0.8
  EXPECT_NEAR(peakNear(0.6), full * (1 - std::exp(-1.0)), full * 0.02);
  EXPECT_NEAR(peakNear(1.2), full * (1 - std::exp(-2.0)), full * 0.02);
  EXPECT_NEAR(peakNear(2.9), full, full * 0.01);
  // No step anywhere: each sample differs from the one before by at most the tone's own
  // slope at full level.
  float step = 0;
  for (std::size_t i = start + 1; i < out.left.size(); ++i) {
    step = std::max(step, std::fabs(out.left[i] - out.left[i - 1]));
  }
  EXPECT_LT(step, full * 2 * std::numbers::pi * 398 / kRate * 1.01);
}

TEST(SoundMixerBeat, GlideKeepsThePhaseRunning) {
  for (const char* mode : {"isochronic", "monaural", "binaural"}) {
    SoundMixer mixer;
    SoundScene scene = beatScene(mode, 300, 10, 0.5);
    mixer.snapLevels(scene);
    // The beat glides from 10 to 4 Hz in steps of one block, as a session's glide does, with
    // a few odd-sized blocks among them.
    double cycles = 0;
    Stereo out;
    std::vector<std::size_t> edges;
    for (int block = 0; block < 600; ++block) {
      scene.tone.beat = 10.0 - 6.0 * block / 599.0;
      const std::size_t frames = block % 7 == 3 ? 333 : kBlock;
      renderInto(mixer, scene, static_cast<double>(frames) / kRate, out, frames);
      edges.push_back(out.left.size());
      cycles += scene.tone.beat * static_cast<double>(frames) / kRate;
      const double expected = cycles - std::floor(cycles);
      double diff = std::fabs(mixer.beatPhase() - expected);
      diff = std::min(diff, 1.0 - diff);
      ASSERT_LT(diff, 1e-6) << mode << " block " << block << ": the pulse jumped";
    }
    // Across block edges the sound moves no more than within blocks: a phase restart at an
    // edge would show as a step far beyond the largest step inside.
    float inside = 0, across = 0;
    std::size_t next = 0;
    for (std::size_t i = 1; i < out.left.size(); ++i) {
      const float step = std::fabs(out.left[i] - out.left[i - 1]);
      if (next < edges.size() && i == edges[next]) {
        across = std::max(across, step);
        ++next;
      } else {
        inside = std::max(inside, step);
      }
    }
    EXPECT_LE(across, inside * 1.001f) << mode;
  }
}

TEST(SoundMixerDeterminism, SameSeedSameSamplesWhateverTheBlocks) {
  SoundScene scene = beatScene("isochronic", 220, 6, 0.4);
  scene.noiseType = NoiseType::pink;
  scene.noiseLevel = 0.7;
  scene.reverbMix = 0.5;
  scene.reverbPreset = ReverbPreset::hall;
  scene.master = 0.9;
  scene.tone.bass = 6;
  auto run = [&](std::uint64_t seed, const std::vector<std::size_t>& blocks) {
    SoundMixer mixer(kRate, seed);
    Stereo out;
    for (std::size_t i = 0; out.left.size() < 88200; ++i) {
      const std::size_t frames = blocks[i % blocks.size()];
      renderInto(mixer, scene, static_cast<double>(frames) / kRate, out, frames);
    }
    out.left.resize(88200);
    out.right.resize(88200);
    return out;
  };
  const Stereo a = run(42, {512});
  const Stereo b = run(42, {512});
  const Stereo split = run(42, {4096, 17, 1000, 1});
  const Stereo other = run(43, {512});
  EXPECT_EQ(a.left, b.left);
  EXPECT_EQ(a.right, b.right);
  EXPECT_EQ(a.left, split.left) << "the samples depend on the block sizes";
  EXPECT_EQ(a.right, split.right);
  EXPECT_NE(a.left, other.left) << "the seed does not reach the noise";
  // A reset starts the same sound again.
  SoundMixer mixer(kRate, 42);
  Stereo first, again;
  renderInto(mixer, scene, 1.0, first);
  mixer.reset();
  renderInto(mixer, scene, 1.0, again);
  EXPECT_EQ(first.left, again.left);
}

}  // namespace sound_mixer_test
