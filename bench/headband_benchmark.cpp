// The bridge's own work per second of headband data: decoding four electrodes at 256 Hz, band
// powers four times a second, and writing the events as JSON lines. "core%" is the share of
// one core this takes in real time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>

#include <nlohmann/json.hpp>

#include "bridge/headband/headband_stream.hpp"

namespace {

using solvera::headband::HeadbandStream;

constexpr int kSeconds = 10;
constexpr int kPacketsPerSecond = 256 / 12 + 1;

// Ten seconds of packets per electrode: a 10 Hz rhythm with noise, as 20-byte notifications.
std::vector<std::vector<std::uint8_t>> packets() {
  std::mt19937 engine(3);
  std::normal_distribution<double> noise(0, 5);
  std::vector<std::vector<std::uint8_t>> out;
  long n = 0;
  for (int p = 0; p < kSeconds * kPacketsPerSecond; ++p) {
    std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(p >> 8),
                                       static_cast<std::uint8_t>(p & 0xFF)};
    int counts[12];
    for (int& c : counts) {
      const double uv = 40 * std::sin(2 * std::numbers::pi * 10 * n++ / 256.0) + noise(engine);
      c = std::clamp(static_cast<int>(std::lround(uv / 0.48828125)) + 2048, 0, 4095);
    }
    for (int i = 0; i < 12; i += 2) {
      bytes.push_back(static_cast<std::uint8_t>(counts[i] >> 4));
      bytes.push_back(static_cast<std::uint8_t>(((counts[i] & 0xF) << 4) | (counts[i + 1] >> 8)));
      bytes.push_back(static_cast<std::uint8_t>(counts[i + 1] & 0xFF));
    }
    out.push_back(std::move(bytes));
  }
  return out;
}

void BM_HeadbandTenSecondsOfFourChannels(benchmark::State& state) {
  const auto data = packets();
  std::size_t bytes = 0, lines = 0;
  for (auto _ : state) {
    HeadbandStream stream([&](HeadbandStream::Event e) {
      bytes += e.dump().size() + 1;
      ++lines;
    });
    for (const auto& packet : data) {
      for (std::size_t channel = 0; channel < 4; ++channel) stream.eeg(channel, packet);
    }
  }
  // Time per iteration over ten seconds of data, in percent.
  state.counters["core%"] = benchmark::Counter(
      0.1, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["lines/s"] = static_cast<double>(lines) / state.iterations() / kSeconds;
  state.counters["bytes/s"] = static_cast<double>(bytes) / state.iterations() / kSeconds;
}
BENCHMARK(BM_HeadbandTenSecondsOfFourChannels)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
