// The sound server's own figure for a playback stream's latency (PulseAudio, or PipeWire through
// its PulseAudio service), asked over a connection of its own beside SDL's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace solvera {

class SoundServerLatency {
 public:
  // Asks the server now and then about this process's playback stream named streamName: how
  // long the sound it holds waits before the sink plays it, plus the sink's own latency. No
  // figure (and nothing to do) when no server answers.
  static std::unique_ptr<SoundServerLatency> watch(const std::string& streamName);

  virtual ~SoundServerLatency() = default;
  // The latest figure, smoothed; 0 while there is none. Any thread, lock-free.
  virtual std::int64_t latencyNs() const noexcept = 0;
};

}  // namespace solvera
