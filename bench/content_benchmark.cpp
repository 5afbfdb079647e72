// Throughput of the archive digest and of the headband bridge's line handling.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "bridge/bridge_lines.hpp"
#include "bridge/muse_bridge.hpp"
#include "content/music_library.hpp"

namespace fs = std::filesystem;

namespace {

// The digest of a 64 MiB file (16 chunks), read from the page cache after the first run.
void BM_ArchiveDigest(benchmark::State& state) {
  const std::size_t size = 64u << 20;
  fs::path file =
      fs::temp_directory_path() / ("solvera-digest-bench-" + std::to_string(::getpid()));
  {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31);
    for (std::size_t i = 0; i < size / block.size(); ++i) out << block;
  }
  for (auto _ : state) benchmark::DoNotOptimize(solvera::sha256(file));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  fs::remove(file);
}
BENCHMARK(BM_ArchiveDigest)->Unit(benchmark::kMillisecond);

// Splitting a bridge's output into events: 6,000 event lines of ~90 bytes in 64 KiB reads.
void BM_BridgeLineSplitting(benchmark::State& state) {
  std::string output;
  for (int i = 0; i < 6000; ++i) {
    output += "  {\"type\":\"eeg\",\"channel\":" + std::to_string(i % 4) +
              ",\"value\":" + std::to_string(i * 0.37) + ",\"timestamp\":1700000000" +
              std::to_string(i) + "}\r\n";
  }
  for (auto _ : state) {
    solvera::BridgeLineBuffer buffer;
    std::size_t events = 0;
    for (std::size_t at = 0; at < output.size(); at += 65536) {
      buffer.append(std::string_view(output).substr(at, 65536),
                    [&](std::string_view) { ++events; });
    }
    benchmark::DoNotOptimize(events);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * output.size()));
  state.SetItemsProcessed(state.iterations() * 6000);
}
BENCHMARK(BM_BridgeLineSplitting)->Unit(benchmark::kMicrosecond);

// Building one full batch call (1,200 events) for the page.
void BM_BridgeBatchScript(benchmark::State& state) {
  std::vector<std::string> lines;
  for (int i = 0; i < 1200; ++i)
    lines.push_back("{\"type\":\"eeg\",\"n\":" + std::to_string(i) + "}");
  std::vector<std::string_view> views(lines.begin(), lines.end());
  for (auto _ : state) benchmark::DoNotOptimize(solvera::pagecall::museBridgeEvents(views));
  state.SetItemsProcessed(state.iterations() * 1200);
}
BENCHMARK(BM_BridgeBatchScript)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
