// Sequence counters in memory a forked watcher shares.
#include "dmx/sequence_numbers.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <new>

namespace solvera::dmx::sequence {
namespace {

constexpr std::size_t kSacnUniverses = 64000;
constexpr std::size_t kArtNetUniverses = 32768;

struct Counters {
  std::atomic<std::uint8_t> sacn[kSacnUniverses];
  std::atomic<std::uint8_t> artNet[kArtNetUniverses];
};
static_assert(std::atomic<std::uint8_t>::is_always_lock_free, "counters are read in a signal handler");

Counters ownCounters{};
Counters* counters = &ownCounters;

}  // namespace

std::uint8_t nextSacn(std::uint16_t universe) {
  return counters->sacn[universe % kSacnUniverses].fetch_add(1, std::memory_order_relaxed);
}

std::uint8_t nextArtNet(std::uint16_t universe) {
  auto& counter = counters->artNet[universe % kArtNetUniverses];
  std::uint8_t current = counter.load(std::memory_order_relaxed);
  std::uint8_t next = 0;
  do {
    next = current == 255 ? 1 : static_cast<std::uint8_t>(current + 1);
  } while (!counter.compare_exchange_weak(current, next, std::memory_order_relaxed));
  return next;
}

void shareWithChildren() {
  if (counters != &ownCounters) return;
  void* memory = ::mmap(nullptr, sizeof(Counters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;  // the watcher then counts from zero: best effort
  auto* shared = new (memory) Counters{};
  for (std::size_t i = 0; i < kSacnUniverses; ++i) shared->sacn[i].store(ownCounters.sacn[i].load());
  for (std::size_t i = 0; i < kArtNetUniverses; ++i) shared->artNet[i].store(ownCounters.artNet[i].load());
  counters = shared;
}

}  // namespace solvera::dmx::sequence
