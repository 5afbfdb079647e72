// A session rendered as fast as it goes, for a sound file: the renderer of live playback, so
// the same span and noise seed give the very samples the device would have played.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "audio/music_source.hpp"
#include "audio/sound_mixer.hpp"
#include "session/session_model.hpp"
#include "session/settings.hpp"

namespace solvera::session {

struct OfflineRenderOptions {
  double fromS = 0;
  std::optional<double> toS;  // the session's end when absent
  double sampleRate = kToneSampleRate;
  std::uint64_t noiseSeed = SoundMixer::kDefaultNoiseSeed;
  std::vector<MusicTrack> music;  // none: no music (as --no-music)
  std::size_t blockFrames = 4096;
};

// The number of frames the span holds at the rate (the span kept within the session).
std::uint64_t offlineFrameCount(const Session& session, const OfflineRenderOptions& options);

// Renders the span (settings decide noise, music, mode and levels, as live) into interleaved
// stereo blocks handed to write, which returns false to stop early (cancelled, disk full).
// Returns the frames handed over. Throws ErrorException for a session without phases.
std::uint64_t renderSessionOffline(const Session& session, const ProgramSettings& settings,
                                   OfflineRenderOptions options,
                                   const std::function<bool(const float* interleaved, std::size_t frames)>& write);

}  // namespace solvera::session
