// A session rendered to a sound file: the live renderer as fast as it goes into libsndfile,
// on a thread of lower priority than live playback, cancellable, and whole or nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/music_source.hpp"
#include "audio/sound_file_writer.hpp"
#include "audio/sound_mixer.hpp"
#include "common/error.hpp"
#include "session/formats/imported_session.hpp"
#include "session/session_model.hpp"
#include "session/settings.hpp"

namespace solvera::session {

struct RenderRequest {
  Session session;
  ProgramSettings settings;  // the sound settings live playback uses
  std::filesystem::path output;
  int sampleRate = 44100;    // Opus: 48000 whatever is asked
  int bits = 16;             // WAV and FLAC
  double fromS = 0;
  std::optional<double> toS;
  bool music = true;
  bool noise = true;
  std::vector<MusicTrack> tracks;  // the installed library's
  std::uint64_t noiseSeed = SoundMixer::kDefaultNoiseSeed;
};

// Renders into the output (through a hidden file beside it). Calls progress after each block
// with the frames done and the frames in all; stops, leaving nothing, once cancel is set.
// Errors carry a Dutch message; a cancel gives code 499.
[[nodiscard]] std::optional<Error> renderToFile(
    const RenderRequest& request, const std::atomic<bool>& cancel,
    const std::function<void(std::uint64_t done, std::uint64_t total)>& progress = {});

// The calling thread at batch priority and "nice 10": it gives way to live playback and to
// the page.
void lowerThreadPriority();

// A session from a file's text, by the file's extension: ".sbg" (SBaGen), ".gnaural" (Gnaural),
// anything else a session file (".svpsession" or the page's JSON). The result's session is the
// page's JSON; `checked` is the session as the player plays it.
struct LoadedSession {
  ImportResult imported;
  std::optional<Session> checked;
  std::string error;  // Dutch, when there is no session
};
LoadedSession loadSessionText(std::string_view text, std::string_view fileName);

// "12:05" or "1:02:03" (also "75" for seconds); nothing when unreadable.
std::optional<double> parseRenderTime(std::string_view text);

}  // namespace solvera::session
