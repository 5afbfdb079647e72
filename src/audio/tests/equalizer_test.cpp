// The equaliser's measured response: sines through the filters, levels compared.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/equalizer.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace equalizer_test {

using namespace solvera;

namespace {

constexpr double kRate = 44100.0;

// Gain in dB of a steady sine of the frequency through an equaliser with these gains, both
// channels measured (they must agree).
double responseDb(double frequency, double bass, double mid, double treble) {
  Equalizer eq(kRate);
  eq.setGains(bass, mid, treble);
  const std::size_t frames = 88200;
  std::vector<float> left(frames), right(frames);
  for (std::size_t i = 0; i < frames; ++i) {
    left[i] = right[i] = static_cast<float>(
        0.25 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / kRate));
  }
  std::vector<float> input = left;
  for (std::size_t done = 0; done < frames; done += 512) {
    const std::size_t n = std::min<std::size_t>(512, frames - done);
    eq.process(left.data() + done, right.data() + done, n);
  }
  double in = 0, out = 0;
  for (std::size_t i = frames / 2; i < frames; ++i) {  // after the filters settled
    in += double(input[i]) * input[i];
    out += double(left[i]) * left[i];
    EXPECT_EQ(left[i], right[i]);
  }
  return 10 * std::log10(out / in);
}

}  // namespace

TEST(Equalizer, FlatPassesTheSignalUnchanged) {
  Equalizer eq;
  eq.setGains(0, 0, 0);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> sample(-1, 1);
  std::vector<float> left(4096), right(4096);
  for (auto& s : left) s = sample(random);
  for (auto& s : right) s = sample(random);
  auto l = left, r = right;
  eq.process(l.data(), r.data(), l.size());
  for (std::size_t i = 0; i < l.size(); ++i) {
    ASSERT_NEAR(l[i], left[i], 1e-6);
    ASSERT_NEAR(r[i], right[i], 1e-6);
  }

  // Back to flat after a curve: transparent again from the next block.
  eq.setGains(6, -6, 3);
  l = left, r = right;
  eq.process(l.data(), r.data(), l.size());
  EXPECT_NE(l, left);
  eq.setGains(0, 0, 0);
  l = left, r = right;
  eq.process(l.data(), r.data(), l.size());
  EXPECT_EQ(l, left);
}

TEST(Equalizer, BassShelfRaisesLowsAndLeavesHighs) {
  EXPECT_NEAR(responseDb(40, 12, 0, 0), 12, 1.0);
  EXPECT_NEAR(responseDb(6000, 12, 0, 0), 0, 0.5);
  EXPECT_NEAR(responseDb(40, -12, 0, 0), -12, 1.0);
  EXPECT_NEAR(responseDb(120, 12, 0, 0), 6, 1.0) << "half the gain at the corner";
}

TEST(Equalizer, MidBandPeaksAtOneKilohertz) {
  const double at1k = responseDb(1000, 0, 12, 0);
  EXPECT_NEAR(at1k, 12, 0.2);
  for (double f : {500.0, 700.0, 850.0, 1200.0, 1400.0, 2000.0}) {
    EXPECT_LT(responseDb(f, 0, 12, 0), at1k - 0.2) << f;
  }
  EXPECT_NEAR(responseDb(100, 0, 12, 0), 0, 0.5);
  EXPECT_NEAR(responseDb(10000, 0, 12, 0), 0, 0.5);
  EXPECT_NEAR(responseDb(1000, 0, -12, 0), -12, 0.2);
}

TEST(Equalizer, TrebleShelfRaisesHighsAndLeavesLows) {
  EXPECT_NEAR(responseDb(15000, 0, 0, 12), 12, 1.0);
  EXPECT_NEAR(responseDb(100, 0, 0, 12), 0, 0.5);
  EXPECT_NEAR(responseDb(15000, 0, 0, -9), -9, 1.0);
}

}  // namespace equalizer_test
