// The words of noise colours and reverb presets, and the presets' tail lengths.
#include "audio/sound_scene.hpp"

#include <array>

namespace solvera {
namespace {

constexpr std::array<std::string_view, 3> kNoiseWords = {"pink", "white", "brown"};
constexpr std::array<std::string_view, 4> kReverbWords = {"room", "plate", "hall", "cathedral"};
// Seconds to fall by 60 dB, the lengths of the page's own impulse responses.
constexpr std::array<double, 4> kReverbTails = {0.9, 1.6, 2.6, 4.2};

}  // namespace

NoiseType noiseTypeFromWord(std::string_view word) {
  for (std::size_t i = 0; i < kNoiseWords.size(); ++i) {
    if (word == kNoiseWords[i]) return static_cast<NoiseType>(i);
  }
  return NoiseType::pink;
}

std::string_view noiseTypeWord(NoiseType type) {
  return kNoiseWords.at(static_cast<std::size_t>(type));
}

ReverbPreset reverbPresetFromWord(std::string_view word) {
  for (std::size_t i = 0; i < kReverbWords.size(); ++i) {
    if (word == kReverbWords[i]) return static_cast<ReverbPreset>(i);
  }
  return ReverbPreset::room;
}

std::string_view reverbPresetWord(ReverbPreset preset) {
  return kReverbWords.at(static_cast<std::size_t>(preset));
}

double reverbTailSeconds(ReverbPreset preset) {
  return kReverbTails.at(static_cast<std::size_t>(preset));
}

}  // namespace solvera
