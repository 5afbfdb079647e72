// The one clock of a playing session: the sound pulls blocks from it, and each block moves the
// session on, turns the timeline's moment into the mixer's scene, and keeps the beat's and the
// light's pulse phases. What it publishes tells the light when the sound's pulse is heard.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_output.hpp"
#include "audio/sound_mixer.hpp"
#include "audio/sound_scene.hpp"
#include "session/seqlock.hpp"
#include "session/settings.hpp"
#include "session/timeline.hpp"

namespace solvera {
class MusicSource;
}

namespace solvera::session {

// The session's clock at the first frame of the latest block.
struct ClockSnapshot {
  std::uint64_t blocks = 0;      // blocks made so far; 0: none yet
  std::uint64_t generation = 0;  // the last transport command the blocks follow
  double sessionS = 0;           // session time at the block's first frame
  double beatPhase = 0;          // the beat's pulse phase there, 0..1
  double lightPhase = 0;         // the light's pulse phase there, 0..1
  double beatHz = 0;             // the rates from there on
  double lightHz = 0;
  std::int64_t heardNs = 0;  // monotonic time at which that frame is heard (silent: played)
  // Once ended: the monotonic time at which the session's last frame is heard. The device
  // keeps pulling silent blocks past the end, each heard a latency later than it is made, so
  // the latest block's heardNs stays ahead of the clock for as long as the device keeps pace.
  std::int64_t endHeardNs = 0;
  bool running = false;      // session time advancing
  bool ended = false;        // the session's end is reached
  bool audible = false;      // a device plays the blocks (else they are paced silently)
  bool fadedOut = false;     // after fadeOut(): the sound has reached silence
};

// How a block's scene comes from the moment's values, as the page's own mix did: the beat at
// pulse volume x master x the session's fade; noise (when noise and sound are on) and music
// (when music is on) through master x fade with the reverb's send; a paused session falls
// silent through the mixer's level glide.
class SessionRenderer final : public AudioRenderSource {
 public:
  // Blocks are cut at fixed frame counts from the start, whatever size the device asks for,
  // so that a render to a file gives the same samples as the live output.
  static constexpr std::size_t kBlockFrames = 256;
  static constexpr double kFadeOutSeconds = 1.0;

  struct Options {
    double sampleRate = kToneSampleRate;
    std::uint64_t noiseSeed = SoundMixer::kDefaultNoiseSeed;
    double startS = 0;
    bool running = true;
  };

  SessionRenderer(Timeline timeline, std::string_view sessionAudioMode, const ProgramSettings& settings,
                  std::shared_ptr<MusicSource> music, Options options);
  SessionRenderer(Timeline timeline, std::string_view sessionAudioMode, const ProgramSettings& settings)
      : SessionRenderer(std::move(timeline), sessionAudioMode, settings, nullptr, Options{}) {}
  ~SessionRenderer() override;

  // The mood words of the session's phases in order of first use: the list a music source
  // is given, which the scenes' mood indexes point into.
  static std::vector<std::string> moodsOf(const Timeline& timeline);
  const Timeline& timeline() const { return timeline_; }
  double sampleRate() const { return sampleRate_; }

  // --- Commands, from one thread (the player's queue); blocks follow from the next one on.
  // Runs or holds session time, optionally from seekToS. Returns the command's generation.
  std::uint64_t transport(bool running, std::optional<double> seekToS = std::nullopt);
  // Lowers the whole sound to silence over kFadeOutSeconds (a stop, or the end).
  void fadeOut();
  // Live controls, sound settings and the extra latency.
  void setSettings(const ProgramSettings& settings);

  // --- Any thread.
  ClockSnapshot snapshot() const { return snapshot_.load(); }

  // --- The thread that pulls blocks (one at a time).
  void render(std::size_t frames, AudioBufferList buffers) noexcept override;
  void renderTimed(std::size_t frames, AudioBufferList buffers, const AudioBlockTiming& timing) noexcept override;
  // Without sound: moves the session and the phases on by whole blocks (at least frames),
  // the first of them played at firstFrameNs.
  void advanceSilently(std::size_t frames, std::int64_t firstFrameNs) noexcept;
  // Offline (a file): the same samples the live output gets, interleaved stereo.
  void renderInterleaved(float* out, std::size_t frames) noexcept;

 private:
  // What the render thread needs of the settings, as plain values.
  struct Controls {
    bool sessionMode = true;
    ToneMode mode = ToneMode::binaural;
    bool sessionShape = true;
    PulseShape shape = PulseShape::sine;
    double balance = 0, bass = 0, mid = 0, treble = 0;
    bool noise = true;
    double master = 0.8;
    bool audioEnabled = true;
    bool musicEnabled = true;
    std::int64_t extraLatencyNs = 0;
  };
  struct Transport {
    std::uint64_t generation = 0;
    bool running = true;
    std::uint64_t seekGeneration = 0;  // the command that last asked for a seek
    double seekToS = 0;
    bool fadeOut = false;
  };
  // Smooths callback times: a straight line fitted to the callbacks' times against their frame
  // counts, older callbacks weighing less (about 20 s of them count), so that the jitter of
  // the device's thread does not move the light while the sound card's own rate is followed.
  class CallbackClock {
   public:
    // The smoothed time of this callback's first frame.
    std::int64_t update(std::int64_t callbackNs, std::size_t frames, double sampleRate) noexcept;
    double nsPerFrame() const { return nsPerFrame_; }
    void reset() {
      started_ = false;
      outliers_ = 0;
    }

   private:
    void recentre(double byFrames, double byNs) noexcept;

    bool started_ = false;
    int outliers_ = 0;         // callbacks in a row far from the schedule
    double originNs_ = 0;      // the fit's coordinates count from here
    double frame_ = 0;         // this callback's first frame, from the origin
    double nsPerFrame_ = 0;
    double lastEstimate_ = 0;  // from the origin
    std::size_t lastFrames_ = 0;
    // Weighted sums of 1, x, y, x*x, x*y over the callbacks (x frames, y ns from the origin).
    double s0_ = 0, sx_ = 0, sy_ = 0, sxx_ = 0, sxy_ = 0;
  };

  // The device's frames against the monotonic clock, for the time it loses.
  struct LostTime {
    bool started = false;
    std::int64_t originNs = 0;       // the first callback
    std::uint64_t pulledFrames = 0;  // frames the device took since
    std::int64_t windowStartNs = 0;
    // The least lateness of the callbacks in this window and the last (ns behind real time).
    double currentMin = std::numeric_limits<double>::infinity();
    double previousMin = std::numeric_limits<double>::infinity();
    double skippedNs = 0;  // session time skipped so far
  };

  static Controls controlsOf(const ProgramSettings& settings);
  void takeCommands() noexcept;
  SoundScene sceneOf(const TimelineSample& sample) const noexcept;
  // How far the light's phase runs ahead of the beat's so that their pulses peak together.
  double lightOffset(const ToneSettings& tone, int phaseIndex) const noexcept;
  // Makes the next block: sound into pending_ when audible, else only time and phases.
  void nextBlock(bool audible) noexcept;
  void publish(std::int64_t heardNs, bool audible) noexcept;
  // Moves the session on by the time the device lost, in whole blocks, once it adds up.
  void skipLostTime(std::int64_t callbackNs) noexcept;
  // Copies pending frames out, making blocks as needed; publishes each block's clock from
  // firstFrameNs (the first frame of this call) when given.
  void pull(std::size_t frames, AudioBufferList buffers, float* interleaved, std::optional<std::int64_t> firstFrameNs,
            double nsPerFrame) noexcept;

  Timeline timeline_;
  double sampleRate_;
  ToneMode sessionMode_;
  std::vector<PulseShape> phaseShape_;
  std::vector<NoiseType> phaseNoise_;
  std::vector<ReverbPreset> phaseReverb_;
  std::vector<int> phaseMood_;
  std::vector<double> phaseLightPeak_;  // where each phase's light pulse peaks, 0..1
  std::array<std::array<double, 5>, 4> beatPeak_{};  // where the beat peaks, by tone mode and shape
  SoundMixer mixer_;

  SeqLock<Controls> controlsIn_;
  SeqLock<Transport> transportIn_;
  SeqLock<ClockSnapshot> snapshot_;
  std::uint64_t generation_ = 0;  // the writer's count

  // The render thread's own state.
  Controls controls_;
  std::uint64_t applied_ = 0;
  std::uint64_t appliedSeek_ = 0;
  std::size_t silentFrames_ = 0;  // paced frames not yet made into a block
  bool running_;
  bool ended_ = false;
  double sessionS_;
  std::uint64_t blocks_ = 0;
  double beatPhase_ = 0;
  double lightPhase_ = 0;
  ClockSnapshot block_;  // the latest block's clock (heardNs filled in when published)
  std::uint64_t endBlock_ = 0;    // the first block made at the end (0: not reached)
  std::int64_t endHeardNs_ = 0;   // when that block's first frame is heard
  bool fading_ = false;
  double fadeGain_ = 1.0;
  std::array<float, 2 * kBlockFrames> pending_{};
  std::size_t pendingOffset_ = kBlockFrames;  // frames of pending_ already handed out
  CallbackClock callbackClock_;
  LostTime lost_;
};

}  // namespace solvera::session
