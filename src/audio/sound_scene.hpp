// What the mixer plays during one block: the beat, the noise, the music and the reverb, as plain
// values. The caller builds one per block; the mixer glides from the previous one.
#pragma once

#include <string_view>

#include "audio/tone_generator.hpp"

namespace solvera {

// Spectral slopes: white 0, pink -3, brown -6 dB per octave.
enum class NoiseType { pink, white, brown };
enum class ReverbPreset { room, plate, hall, cathedral };

// Exact words; anything else is pink / room, as the session's own defaults.
NoiseType noiseTypeFromWord(std::string_view word);
std::string_view noiseTypeWord(NoiseType type);
ReverbPreset reverbPresetFromWord(std::string_view word);
std::string_view reverbPresetWord(ReverbPreset preset);
// The time the reverb's tail takes to fall by 60 dB.
double reverbTailSeconds(ReverbPreset preset);

struct SoundScene {
  // The beat. Its volume is the beat's whole level (pulse volume x master x envelope); its
  // balance applies to the beat only, its equaliser gains to the whole mix.
  ToneSettings tone{.volume = 0.0};
  NoiseType noiseType = NoiseType::pink;
  double noiseLevel = 0.0;  // 0...1, before master
  double musicLevel = 0.0;  // 0...1, before master; 0 pauses the music where it is
  // Index into the mood words the music source was given; -1 (or any index outside) means no
  // mood: the tracks simply follow one another.
  int musicMood = -1;
  ReverbPreset reverbPreset = ReverbPreset::room;
  double reverbMix = 0.0;  // 0...1: dry 1 - 0.6 x mix, wet mix (noise and music only)
  double master = 0.0;     // 0...1: master x envelope for noise and music

  friend bool operator==(const SoundScene&, const SoundScene&) = default;
};

}  // namespace solvera
