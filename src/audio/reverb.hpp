// The reverb of noise and music: a feedback delay network whose decay is set from the preset's
// tail length.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "audio/sound_scene.hpp"

namespace solvera {

// Eight delay lines of 32 to 64 ms, mixed back into each other through an orthogonal
// (Hadamard) matrix. Each line's loop gain makes every path fall by 60 dB in the tail time,
// and a one-pole filter in the loop lets high frequencies die sooner, as in a real room. The
// wet output is scaled to carry about the input's power whatever the tail length.
class Reverb {
 public:
  static constexpr std::size_t kLines = 8;
  static constexpr std::size_t kChunkFrames = 256;

  explicit Reverb(double sampleRate = 44100.0);

  // Takes effect at once; the tail already in the lines decays at the new rate. No allocation.
  void setPreset(ReverbPreset preset);
  ReverbPreset preset() const { return preset_; }
  double tailSeconds() const { return tailSeconds_; }

  // Wet stereo out from stereo in (out may not alias in).
  void process(const float* inLeft, const float* inRight, float* outLeft, float* outRight,
               std::size_t frames);
  // Empties the lines (a silent tail).
  void clear();

 private:
  void processChunk(const float* inLeft, const float* inRight, float* outLeft, float* outRight,
                    std::size_t frames);

  double sampleRate_;
  ReverbPreset preset_ = ReverbPreset::room;
  double tailSeconds_ = 0;
  std::size_t mask_ = 0;
  std::size_t write_ = 0;
  std::array<std::size_t, kLines> delays_{};
  std::array<float, kLines> gain_{};    // loop gain x (1 - damping)
  std::array<float, kLines> damping_{};
  std::array<float, kLines> state_{};   // the damping filters' memory
  float outputScale_ = 0;
  std::vector<float> lines_;  // kLines x (mask_ + 1), line by line
};

}  // namespace solvera
