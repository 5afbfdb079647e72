// Music: mood matching, the decoders (libsndfile, libsamplerate) that fill one ring per voice,
// and the reader on the audio thread that plays, cross-fades and follows track ends.
#include "audio/music_source.hpp"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <numbers>
#include <semaphore>

namespace solvera {
namespace {

constexpr std::size_t kVoices = 2;
// About three seconds at 44100 Hz per voice: the decoder thread may stall that long (a slow
// disk, a busy machine) before the music falls silent.
constexpr std::size_t kRingFrames = std::size_t{1} << 17;
constexpr std::uint64_t kRingMask = kRingFrames - 1;
constexpr std::size_t kDecodeFrames = 4096;  // frames read from a file at once
constexpr std::size_t kBoundaries = 8;       // track ends a voice's ring may hold at once
constexpr auto kDecoderPoll = std::chrono::milliseconds(20);
constexpr std::uint64_t kFillAll = ~std::uint64_t{0};

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) { return lowerAscii(c); });
  return out;
}

std::string searchTextOf(const MusicTrack& track) {
  std::string text;
  for (const std::string& word : track.words) {
    if (!text.empty()) text += ' ';
    text += lowerAscii(word);
  }
  return text;
}

// The tracks after `after` in a circle, `after` itself last; the first that is usable and
// matches, else the first usable one, else -1.
template <typename Matches, typename Usable>
int pickAfter(std::size_t count, int after, Matches matches, Usable usable) {
  const auto n = static_cast<long>(count);
  if (n == 0) return -1;
  auto at = [&](long k) { return static_cast<int>(((after + k) % n + n) % n); };
  for (long k = 1; k <= n; ++k) {
    if (usable(at(k)) && matches(at(k))) return at(k);
  }
  for (long k = 1; k <= n; ++k) {
    if (usable(at(k))) return at(k);
  }
  return -1;
}

std::uint64_t commandWord(std::uint32_t seq, int track) {
  return (std::uint64_t{seq} << 32) | static_cast<std::uint32_t>(track + 1);
}

}  // namespace

bool trackMatches(const MusicTrack& track, std::string_view mood) {
  if (mood.empty()) return false;
  return searchTextOf(track).find(lowerAscii(mood)) != std::string::npos;
}

int pickTrack(std::span<const MusicTrack> tracks, std::string_view mood, int after) {
  return pickAfter(
      tracks.size(), after, [&](int i) { return trackMatches(tracks[static_cast<std::size_t>(i)], mood); },
      [](int) { return true; });
}

// Shared between the reader (audio thread) and the decoder of one voice. Only the reader
// writes `read`, `command` and `boundaryRead`; only the decoder writes the rest.
struct MusicSource::Slot {
  struct Boundary {
    std::uint32_t seq = 0;  // the command whose stream it belongs to
    std::uint64_t at = 0;   // ring position of the first frame after the track's end
    int next = -1;          // the track the decoder went on with (-1: the stream ends)
  };

  std::unique_ptr<float[]> ring = std::make_unique<float[]>(kRingFrames * 2);
  std::atomic<std::uint64_t> write{0};
  std::atomic<std::uint64_t> read{0};
  // (sequence << 32) | (track + 1); track -1 stops the voice.
  std::atomic<std::uint64_t> command{0};
  std::atomic<std::uint32_t> ack{0};         // the sequence the decoder has taken up
  std::atomic<std::uint64_t> ackStart{0};    // where that command's stream begins in the ring
  std::atomic<int> ackTrack{-1};             // the track it opened (failures skipped)
  std::atomic<std::uint32_t> doneSeq{0};     // that stream will get no more frames
  std::array<Boundary, kBoundaries> boundaries{};
  std::atomic<std::uint32_t> boundaryWrite{0};
  std::atomic<std::uint32_t> boundaryRead{0};
};

// Turns commands into frames in one slot's ring. Runs on the decoder thread (live) or inside
// the reader (offline); never both.
class MusicSource::Decoder {
 public:
  Decoder() = default;
  ~Decoder() {
    closeFile();
    if (resampler_ != nullptr) src_delete(resampler_);
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  void attach(MusicSource* owner, Slot* slot) {
    owner_ = owner;
    slot_ = slot;
    int error = 0;
    resampler_ = src_new(SRC_SINC_FASTEST, 2, &error);
  }

  // Takes up a new command, then decodes until the ring holds frames up to `until` or is full.
  void service(std::uint64_t until) {
    const std::uint64_t command = slot_->command.load(std::memory_order_acquire);
    const auto seq = static_cast<std::uint32_t>(command >> 32);
    if (seq != seq_) takeUp(seq, static_cast<int>(command & 0xFFFFFFFFu) - 1);
    while (streaming_ && write_ < until) {
      if (atEnd_) {
        if (!publishEnd()) return;
        continue;
      }
      const std::uint64_t floor =
          std::max(slot_->read.load(std::memory_order_acquire), streamStart_);
      const std::uint64_t free = kRingFrames - (write_ - floor);
      if (free < maxOutFrames_) return;
      decodeChunk();
    }
  }

 private:
  void takeUp(std::uint32_t seq, int track) {
    closeFile();
    seq_ = seq;
    atEnd_ = false;
    // Frames still in the ring belong to the old stream, which the reader has left for good.
    streamStart_ = write_;
    const int opened = track >= 0 ? openFrom(track) : -1;
    streaming_ = opened >= 0;
    slot_->ackStart.store(streamStart_, std::memory_order_relaxed);
    slot_->ackTrack.store(opened, std::memory_order_relaxed);
    if (!streaming_) slot_->doneSeq.store(seq, std::memory_order_relaxed);
    slot_->ack.store(seq, std::memory_order_release);
  }

  // Opens the track, or the next usable one for the mood if it fails; -1 when none opens.
  int openFrom(int track) {
    for (std::size_t tries = 0; track >= 0 && tries < owner_->tracks_.size(); ++tries) {
      if (!owner_->trackFailed(track) && open(track)) return track;
      owner_->failed_[static_cast<std::size_t>(track)].store(true, std::memory_order_relaxed);
      track = owner_->moodTrackAfter(owner_->moodNow_.load(std::memory_order_relaxed), track);
    }
    return -1;
  }

  bool open(int track) {
    SF_INFO info{};
    const std::filesystem::path& path = owner_->tracks_[static_cast<std::size_t>(track)].file;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return false;
    if (info.channels < 1 || info.samplerate <= 0) {
      sf_close(file);
      return false;
    }
    file_ = file;
    track_ = track;
    channels_ = static_cast<std::size_t>(info.channels);
    ratio_ = owner_->sampleRate_ / info.samplerate;
    resample_ = std::fabs(ratio_ - 1.0) > 1e-9;
    if (resample_ && (resampler_ == nullptr || src_is_valid_ratio(ratio_) == 0)) {
      closeFile();
      return false;
    }
    if (resampler_ != nullptr) src_reset(resampler_);
    maxOutFrames_ = resample_ ? static_cast<std::size_t>(std::ceil(kDecodeFrames * ratio_)) + 64
                              : kDecodeFrames;
    input_.resize(kDecodeFrames * channels_);
    stereo_.resize(kDecodeFrames * 2);
    output_.resize(maxOutFrames_ * 2);
    decodedAny_ = false;
    fileDone_ = false;
    return true;
  }

  void closeFile() {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
  }

  // One chunk from the file into the ring; at the file's end the resampler is emptied and
  // the track's end is marked.
  void decodeChunk() {
    std::size_t got = 0;
    if (!fileDone_) {
      got = static_cast<std::size_t>(
          sf_readf_float(file_, input_.data(), static_cast<sf_count_t>(kDecodeFrames)));
      fileDone_ = got == 0;
      for (std::size_t f = 0; f < got; ++f) {
        const float* frame = &input_[f * channels_];
        stereo_[2 * f] = frame[0];
        stereo_[2 * f + 1] = channels_ > 1 ? frame[1] : frame[0];
      }
    }
    if (!resample_) {
      push(stereo_.data(), got);
    } else {
      SRC_DATA data{};
      data.data_in = stereo_.data();
      data.input_frames = static_cast<long>(got);
      data.data_out = output_.data();
      data.output_frames = static_cast<long>(maxOutFrames_);
      data.end_of_input = fileDone_ ? 1 : 0;
      data.src_ratio = ratio_;
      if (src_process(resampler_, &data) != 0) {
        fileDone_ = true;
        data.output_frames_gen = 0;
      }
      push(output_.data(), static_cast<std::size_t>(data.output_frames_gen));
      // Flushing continues until the resampler gives nothing more.
      if (fileDone_ && data.output_frames_gen > 0) return;
    }
    if (fileDone_) {
      // A file that gives no frame at all is as good as one that cannot be opened.
      if (!decodedAny_) {
        owner_->failed_[static_cast<std::size_t>(track_)].store(true, std::memory_order_relaxed);
      }
      closeFile();
      atEnd_ = true;
    }
  }

  void push(const float* frames, std::size_t count) {
    std::size_t done = 0;
    float* ring = slot_->ring.get();
    while (done < count) {
      const std::size_t at = static_cast<std::size_t>((write_ + done) & kRingMask);
      const std::size_t n = std::min(count - done, kRingFrames - at);
      std::copy_n(frames + 2 * done, 2 * n, ring + 2 * at);
      done += n;
    }
    write_ += count;
    if (count > 0) decodedAny_ = true;
    slot_->write.store(write_, std::memory_order_release);
  }

  // Marks the track's end in the ring and goes on with the track the mood asks for now (the
  // reader checks the guess when it gets there). False while the boundary queue is full.
  bool publishEnd() {
    const std::uint32_t written = slot_->boundaryWrite.load(std::memory_order_relaxed);
    if (written - slot_->boundaryRead.load(std::memory_order_acquire) >= kBoundaries) return false;
    const int guess = owner_->moodTrackAfter(owner_->moodNow_.load(std::memory_order_relaxed), track_);
    const int next = guess >= 0 ? openFrom(guess) : -1;
    slot_->boundaries[written % kBoundaries] = {seq_, write_, next};
    slot_->boundaryWrite.store(written + 1, std::memory_order_release);
    atEnd_ = false;
    if (next < 0) {
      streaming_ = false;
      slot_->doneSeq.store(seq_, std::memory_order_release);
    }
    return true;
  }

  MusicSource* owner_ = nullptr;
  Slot* slot_ = nullptr;
  std::uint32_t seq_ = 0;
  std::uint64_t write_ = 0;
  std::uint64_t streamStart_ = 0;
  bool streaming_ = false;
  bool atEnd_ = false;
  bool fileDone_ = false;
  bool decodedAny_ = false;
  SNDFILE* file_ = nullptr;
  int track_ = -1;
  std::size_t channels_ = 2;
  double ratio_ = 1.0;
  bool resample_ = false;
  std::size_t maxOutFrames_ = kDecodeFrames;
  SRC_STATE* resampler_ = nullptr;
  std::vector<float> input_, stereo_, output_;
};

// The reader's view of one voice; touched only on the audio thread.
struct MusicSource::Voice {
  enum class Fade { none, in, out };
  bool active = false;   // heard (or fading)
  bool waiting = false;  // commanded during this block; heard from the next one
  bool fadeOutNext = false;
  std::uint32_t seq = 0;
  bool acked = false;
  std::uint64_t start = 0;  // the stream's first frame in the ring
  std::uint64_t pos = 0;    // frames of the stream played, or lost to an empty ring
  int track = -1;
  Fade fade = Fade::none;
  std::size_t fadePos = 0;
};

MusicSource::MusicSource(std::vector<MusicTrack> tracks, const std::vector<std::string>& moods,
                         double sampleRate, Mode mode)
    : tracks_(std::move(tracks)),
      sampleRate_(sampleRate),
      mode_(mode),
      failed_(std::make_unique<std::atomic<bool>[]>(tracks_.size())),
      slots_(std::make_unique<Slot[]>(kVoices)),
      decoders_(std::make_unique<Decoder[]>(kVoices)),
      voices_(std::make_unique<Voice[]>(kVoices)),
      crossfadeFrames_(static_cast<std::size_t>(kCrossfadeSeconds * sampleRate)),
      wake_(std::make_unique<std::counting_semaphore<>>(0)) {
  for (const MusicTrack& track : tracks_) searchText_.push_back(searchTextOf(track));
  for (const std::string& mood : moods) moods_.push_back(lowerAscii(mood));
  for (std::size_t i = 0; i < kVoices; ++i) decoders_[i].attach(this, &slots_[i]);
  if (mode_ == Mode::live) {
    thread_ = std::jthread([this](const std::stop_token& stop) { decodeLoop(stop); });
  }
}

MusicSource::~MusicSource() {
  if (thread_.joinable()) {
    thread_.request_stop();
    wake_->release();
    thread_.join();
  }
}

void MusicSource::decodeLoop(const std::stop_token& stop) {
  while (!stop.stop_requested()) {
    for (std::size_t i = 0; i < kVoices; ++i) decoders_[i].service(kFillAll);
    (void)wake_->try_acquire_for(kDecoderPoll);
  }
}

bool MusicSource::trackFailed(int track) const {
  return track >= 0 && static_cast<std::size_t>(track) < tracks_.size() &&
         failed_[static_cast<std::size_t>(track)].load(std::memory_order_relaxed);
}

int MusicSource::moodTrackAfter(int mood, int after) const {
  const bool hasMood = mood >= 0 && static_cast<std::size_t>(mood) < moods_.size() &&
                       !moods_[static_cast<std::size_t>(mood)].empty();
  return pickAfter(
      tracks_.size(), after,
      [&](int i) {
        return hasMood && searchText_[static_cast<std::size_t>(i)].find(
                              moods_[static_cast<std::size_t>(mood)]) != std::string::npos;
      },
      [&](int i) { return !trackFailed(i); });
}

bool MusicSource::fits(int track, int mood) const {
  if (track < 0 || mood < 0 || static_cast<std::size_t>(mood) >= moods_.size()) return false;
  const std::string& word = moods_[static_cast<std::size_t>(mood)];
  return !word.empty() && searchText_[static_cast<std::size_t>(track)].find(word) != std::string::npos;
}

std::uint32_t MusicSource::issue(std::size_t slot, int track) noexcept {
  Voice& voice = voices_[slot];
  voice.seq += 1;
  voice.acked = false;
  voice.pos = 0;
  voice.track = track;
  voice.waiting = true;
  slots_[slot].command.store(commandWord(voice.seq, track), std::memory_order_release);
  if (mode_ == Mode::live) wake_->release();
  return voice.seq;
}

void MusicSource::beginBlock(int mood, bool playing) noexcept {
  moodNow_.store(mood, std::memory_order_relaxed);
  blockMood_ = mood;
  // What the last block decided is heard from here on.
  for (std::size_t i = 0; i < kVoices; ++i) {
    Voice& v = voices_[i];
    if (v.waiting) {
      v.waiting = false;
      v.active = v.track >= 0;
    }
    if (v.fadeOutNext) {
      v.fadeOutNext = false;
      v.fade = Voice::Fade::out;
      v.fadePos = 0;
    }
  }
  if (!playing) return;
  // One change at a time: a cross-fade in progress finishes before the mood is looked at again.
  for (std::size_t i = 0; i < kVoices; ++i) {
    if (voices_[i].waiting || voices_[i].fade != Voice::Fade::none) return;
  }
  if (main_ < 0 || !voices_[static_cast<std::size_t>(main_)].active) {
    const int pick = moodTrackAfter(mood, -1);
    lastMood_ = mood;
    if (pick < 0) return;
    main_ = 0;
    issue(0, pick);
    voices_[0].fade = Voice::Fade::none;
    return;
  }
  if (mood == lastMood_) return;
  lastMood_ = mood;
  // A new mood changes the track only when the current one does not fit it and another does.
  Voice& current = voices_[static_cast<std::size_t>(main_)];
  if (fits(current.track, mood)) return;
  const int pick = moodTrackAfter(mood, current.track);
  if (pick < 0 || pick == current.track || !fits(pick, mood)) return;
  const auto other = static_cast<std::size_t>(1 - main_);
  issue(other, pick);
  voices_[other].fade = Voice::Fade::in;
  voices_[other].fadePos = 0;
  current.fadeOutNext = true;
  main_ = static_cast<int>(other);
}

void MusicSource::read(float* left, float* right, std::size_t frames) noexcept {
  frames = std::min(frames, kMaxReadFrames);
  std::fill_n(left, frames, 0.0f);
  std::fill_n(right, frames, 0.0f);
  for (std::size_t i = 0; i < kVoices; ++i) {
    Voice& v = voices_[i];
    if (!v.active || v.waiting) continue;
    readVoice(i, left, right, frames);
    if (v.fade != Voice::Fade::none && v.fadePos >= crossfadeFrames_) {
      if (v.fade == Voice::Fade::out) {
        issue(i, -1);  // the decoder closes the file
        v.waiting = false;
        v.active = false;
      }
      v.fade = Voice::Fade::none;
    }
  }
  currentTrack_.store(main_ >= 0 && voices_[static_cast<std::size_t>(main_)].active
                          ? voices_[static_cast<std::size_t>(main_)].track
                          : -1,
                      std::memory_order_relaxed);
}

void MusicSource::readVoice(std::size_t index, float* left, float* right,
                            std::size_t frames) noexcept {
  Voice& v = voices_[index];
  Slot& slot = slots_[index];
  if (!v.acked) {
    if (mode_ == Mode::offline) decoders_[index].service(0);
    if (slot.ack.load(std::memory_order_acquire) == v.seq) {
      v.acked = true;
      v.start = slot.ackStart.load(std::memory_order_relaxed);
      v.track = slot.ackTrack.load(std::memory_order_relaxed);
    }
  }
  // The voice's gain over these frames: 1, or the equal-power cross-fade's curve.
  float gain[kMaxReadFrames];
  for (std::size_t i = 0; i < frames; ++i) {
    if (v.fade == Voice::Fade::none) {
      gain[i] = 1.0f;
      continue;
    }
    const double x = std::min(1.0, static_cast<double>(v.fadePos + i) /
                                       static_cast<double>(crossfadeFrames_));
    const double angle = x * std::numbers::pi / 2.0;
    gain[i] = static_cast<float>(v.fade == Voice::Fade::in ? std::sin(angle) : std::cos(angle));
  }
  v.fadePos += frames;
  if (!v.acked) {
    v.pos += frames;  // not there yet: silence that keeps the voice's place in time
    return;
  }
  std::uint64_t want = v.start + v.pos;
  if (mode_ == Mode::offline) decoders_[index].service(want + frames);
  const std::uint64_t written = slot.write.load(std::memory_order_acquire);
  const float* ring = slot.ring.get();
  std::size_t done = 0;
  while (done < frames) {
    // Track ends at or before this point: go on with the decoder's choice if the mood still
    // asks for it, else start the right track with the next block.
    const std::uint32_t boundaryRead = slot.boundaryRead.load(std::memory_order_relaxed);
    std::uint64_t limit = want + (frames - done);
    if (boundaryRead != slot.boundaryWrite.load(std::memory_order_acquire)) {
      const Slot::Boundary& b = slot.boundaries[boundaryRead % kBoundaries];
      if (b.seq != v.seq) {
        slot.boundaryRead.store(boundaryRead + 1, std::memory_order_release);
        continue;
      }
      if (b.at <= want) {
        const int wanted = moodTrackAfter(blockMood_, v.track);
        const int next = b.next;
        slot.boundaryRead.store(boundaryRead + 1, std::memory_order_release);
        if (v.fade == Voice::Fade::out) {
          // A track fading out that reaches its end simply ends.
          issue(index, -1);
          v.waiting = false;
          v.active = false;
          v.fade = Voice::Fade::none;
          return;
        }
        // A track that turned out broken ends where it began; the decoder's next boundary,
        // at the same place, tells where it went on.
        if (next == wanted || trackFailed(next)) {
          v.track = next;
          continue;
        }
        issue(index, wanted);  // silent for the rest of this block
        slot.read.store(std::min(want, written), std::memory_order_release);
        return;
      }
      limit = std::min(limit, b.at);
    }
    const std::uint64_t available = written > want ? written - want : 0;
    const auto take = static_cast<std::size_t>(std::min(limit - want, available));
    // limit - want never exceeds frames - done, so every gain read was written above; the
    // analyser cannot follow that bound through the boundary's std::min.
    // NOLINTBEGIN(clang-analyzer-core.UndefinedBinaryOperatorResult)
    for (std::size_t i = 0; i < take; ++i) {
      const std::size_t at = static_cast<std::size_t>((want + i) & kRingMask);
      left[done + i] += ring[2 * at] * gain[done + i];
      right[done + i] += ring[2 * at + 1] * gain[done + i];
    }
    // NOLINTEND(clang-analyzer-core.UndefinedBinaryOperatorResult)
    want += take;
    done += take;
    v.pos += take;
    if (want < limit) {
      // The ring ran dry: the missing frames are lost, so the music keeps its place in time.
      const std::uint64_t lost = limit - want;
      want += lost;
      done += static_cast<std::size_t>(lost);
      v.pos += lost;
    }
  }
  slot.read.store(std::min(want, written), std::memory_order_release);
}

bool MusicSource::ready(std::size_t frames) const {
  for (std::size_t i = 0; i < kVoices; ++i) {
    const Slot& slot = slots_[i];
    const std::uint64_t command = slot.command.load(std::memory_order_acquire);
    const auto seq = static_cast<std::uint32_t>(command >> 32);
    const int track = static_cast<int>(command & 0xFFFFFFFFu) - 1;
    if (seq == 0 || track < 0) continue;
    if (slot.ack.load(std::memory_order_acquire) != seq) return false;
    if (slot.doneSeq.load(std::memory_order_acquire) == seq) continue;
    const std::uint64_t from = std::max(slot.read.load(std::memory_order_acquire),
                                        slot.ackStart.load(std::memory_order_acquire));
    if (slot.write.load(std::memory_order_acquire) < from + frames) return false;
  }
  return true;
}

}  // namespace solvera
