// Music for the mixer: tracks decoded from files, resampled to the output rate, chosen by mood,
// cross-faded when the mood asks for another track, and followed by the next at their end.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <semaphore>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace solvera {

struct MusicTrack {
  std::filesystem::path file;
  // Where a mood word is looked for: the track's mood or moods, tags, title and category.
  std::vector<std::string> words;
};

// Whether any of the track's words contains the mood word, ignoring ASCII case. An empty
// mood matches nothing.
bool trackMatches(const MusicTrack& track, std::string_view mood);
// The first track after `after` (in a circle) that matches the mood, else simply the next one,
// so that consecutive picks differ; -1 for no tracks.
int pickTrack(std::span<const MusicTrack> tracks, std::string_view mood, int after = -1);

// Two voices, each fed by a ring of decoded frames: the one playing and, during a cross-fade,
// the one fading in. The mixer calls beginBlock() and read() on the audio thread; they never
// wait, allocate or touch a file in live mode. A live source decodes on a thread of its own
// (an empty ring is heard as silence, and the music keeps its place in time); an offline
// source decodes synchronously inside read(). The choices (which track, when the cross-fade
// starts) are made on the audio thread at block edges and take effect from the next block, so
// a live source that keeps ahead gives the same samples as an offline one.
// Files are read with libsndfile (WAV, FLAC, Ogg Vorbis, Opus, MP3 and more); a file that
// cannot be decoded is skipped from then on.
class MusicSource {
 public:
  enum class Mode { live, offline };
  static constexpr double kCrossfadeSeconds = 3.0;

  MusicSource(std::vector<MusicTrack> tracks, const std::vector<std::string>& moods,
              double sampleRate, Mode mode);
  ~MusicSource();
  MusicSource(const MusicSource&) = delete;
  MusicSource& operator=(const MusicSource&) = delete;

  // --- The audio thread (through the mixer) ---
  // At each block's start: mood is an index into the mood words (anything else: no mood);
  // playing false pauses the music where it is. Starts what the last block decided, then
  // decides: the first track, or a cross-fade when the mood changed to one that the current
  // track does not fit and another does.
  void beginBlock(int mood, bool playing) noexcept;
  // Writes frames of music (silence where there is none). At most kMaxReadFrames a call.
  void read(float* left, float* right, std::size_t frames) noexcept;
  static constexpr std::size_t kMaxReadFrames = 256;

  // --- Any thread ---
  // The track heard (the incoming one during a cross-fade), or -1.
  int currentTrack() const { return currentTrack_.load(std::memory_order_relaxed); }
  // Whether the track could not be decoded (it is skipped).
  bool trackFailed(int track) const;
  // Whether every voice the next block will play has frames decoded for it (or has ended):
  // a live stream that waits for this between blocks plays exactly what an offline one does.
  bool ready(std::size_t frames) const;

  std::size_t trackCount() const { return tracks_.size(); }
  double sampleRate() const { return sampleRate_; }
  Mode mode() const { return mode_; }

 private:
  struct Slot;
  class Decoder;
  struct Voice;

  int moodTrackAfter(int mood, int after) const;
  bool fits(int track, int mood) const;
  std::uint32_t issue(std::size_t slot, int track) noexcept;
  void readVoice(std::size_t index, float* left, float* right, std::size_t frames) noexcept;
  void decodeLoop(const std::stop_token& stop);

  std::vector<MusicTrack> tracks_;
  std::vector<std::string> searchText_;  // per track: its words, lower case, joined
  std::vector<std::string> moods_;       // lower case
  double sampleRate_;
  Mode mode_;
  std::unique_ptr<std::atomic<bool>[]> failed_;
  std::atomic<int> moodNow_{-1};
  std::atomic<int> currentTrack_{-1};
  std::unique_ptr<Slot[]> slots_;
  std::unique_ptr<Decoder[]> decoders_;
  std::unique_ptr<Voice[]> voices_;
  int main_ = -1;      // the voice heard, or fading in
  int blockMood_ = -1;
  int lastMood_ = -2;  // the mood the last decision saw (-2: none yet)
  std::size_t crossfadeFrames_;
  std::unique_ptr<std::counting_semaphore<>> wake_;  // the decoder thread's wake-up
  std::jthread thread_;
};

}  // namespace solvera
