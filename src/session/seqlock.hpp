// A value one thread publishes and others read without a lock: a sequence counter around
// words stored as atomics, so readers never wait on the writer and never see a torn value.
// Ordered by release stores and acquire loads of the words themselves (no fences), which is
// what the thread sanitizer can follow; on x86 they are plain moves.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace solvera::session {

template <typename T>
class SeqLock {
  static_assert(std::is_trivially_copyable_v<T>, "a seqlock copies its value bytewise");
  static constexpr std::size_t kWords = (sizeof(T) + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);

 public:
  explicit SeqLock(const T& value = T{}) { store(value); }

  // One writer at a time.
  void store(const T& value) noexcept {
    std::array<std::uint64_t, kWords> words{};
    std::memcpy(words.data(), &value, sizeof(T));
    const std::uint64_t s = sequence_.load(std::memory_order_relaxed);
    sequence_.store(s + 1, std::memory_order_relaxed);
    // Release: a reader that sees a new word also sees the odd count stored before it.
    for (std::size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_release);
    sequence_.store(s + 2, std::memory_order_release);
  }

  // The latest value, unless a store is under way: then false and `out` is left alone (the
  // audio thread takes it at its next block rather than wait).
  bool tryLoad(T& out) const noexcept {
    std::array<std::uint64_t, kWords> words{};
    const std::uint64_t before = sequence_.load(std::memory_order_acquire);
    if (before & 1u) return false;
    // Acquire: the count read after the words cannot be read before them.
    for (std::size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_acquire);
    if (sequence_.load(std::memory_order_relaxed) != before) return false;
    std::memcpy(static_cast<void*>(&out), words.data(), sizeof(T));
    return true;
  }

  // The latest value; retries while a store is under way (stores are a few words long).
  T load() const noexcept {
    T value{};
    while (!tryLoad(value)) {
    }
    return value;
  }

 private:
  std::atomic<std::uint64_t> sequence_{0};
  std::array<std::atomic<std::uint64_t>, kWords> words_{};
};

}  // namespace solvera::session
