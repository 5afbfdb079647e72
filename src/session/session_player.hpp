// The session player: start, pause, resume, seek, stop and blackout on the one clock of the
// session's sound; the light of the moment sent from the same pulse phase; the run's record;
// and a status that routes, events and relays can follow. Nothing here knows HTTP or a page.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_device_output.hpp"
#include "audio/music_source.hpp"
#include "common/clock.hpp"
#include "common/error.hpp"
#include "common/repeating_timer.hpp"
#include "common/serial_queue.hpp"
#include "session/light_sink.hpp"
#include "session/session_model.hpp"
#include "session/session_record.hpp"
#include "session/session_renderer.hpp"
#include "session/settings.hpp"

namespace solvera::session {

enum class PlayerState { idle, running, paused, finished };
std::string_view playerStateWord(PlayerState state);  // "idle", "running", "paused", "finished"

struct StartRequest {
  Session session;           // checked (session_model.hpp)
  ProgramSettings settings;  // light output, sound, live controls, the accepted warning
  // Plays without light: the way to play a session without the photosensitivity consent.
  bool soundOnly = false;
  // The installed music library's tracks (musicTracksOf); none: no music.
  std::vector<MusicTrack> music;
};

// The player as the routes, events and relays show it.
struct PlayerStatus {
  PlayerState state = PlayerState::idle;
  std::string sessionId, title, titleEn;
  double elapsedS = 0, durationS = 0;
  int phaseIndex = -1, phaseCount = 0;
  std::string phaseName, phaseNameEn;
  double phaseElapsedS = 0, phaseRemainingS = 0;
  TimelineValues values;  // the moment's, as heard
  double envelope = 0;
  bool gliding = false;
  std::string pulseShape, noiseType, reverbPreset, musicMood;
  bool blackout = false;
  bool light = false;       // the lamps take part in this run
  bool lightLit = false;    // the last light sent was lit
  std::string lightError;   // the output's Dutch message, while it fails
  bool soundOnly = false;
  bool sound = false;       // the session's sound goes to a device
  std::string audioDevice;  // the device playing ("" the default)
  // Wall-clock ms at which the light's pulse last began a cycle as heard (0: no pulse), so
  // that a screen far from the lamps can pulse in step with them.
  double lightPulseEpochMs = 0;
  std::uint64_t revision = 0;

  OrderedJson toJson() const;
};

class SessionPlayer {
 public:
  static constexpr std::chrono::milliseconds kTickPeriod{20};
  // A light request the same as the last goes out again after this, with a fresh anchor,
  // so that the lamps follow the sound card's clock as it drifts from the monotonic one.
  static constexpr std::int64_t kAnchorRefreshNs = 1'000'000'000;
  static constexpr std::int64_t kLightRetryNs = 2'000'000'000;
  static constexpr const char* kLightClientId = "session";
  // How long a blackout waits for a light request in hand (one being handed to an output that
  // is still opening) before it darkens the lamps regardless, and again after that request.
  static constexpr std::chrono::milliseconds kBlackoutWait{8};

  struct Options {
    Clock* clock = &systemClock();
    std::chrono::milliseconds tickPeriod = kTickPeriod;
    bool timer = true;  // false: ticks only on commands and tick() (tests on a fake clock)
    std::shared_ptr<AudioOutputBackend> audio;  // none: sessions play silently
    AudioDeviceOutput::Options audioOptions{};
    std::shared_ptr<LightSink> light;           // none: no lamps
    double sampleRate = kToneSampleRate;
    std::uint64_t noiseSeed = SoundMixer::kDefaultNoiseSeed;
  };

  explicit SessionPlayer(Options options);
  // Stops a running session: lamps dark, sound closed.
  ~SessionPlayer();
  SessionPlayer(const SessionPlayer&) = delete;
  SessionPlayer& operator=(const SessionPlayer&) = delete;

  // Starts a session, blackout lifted. Refused (with the Dutch message) while one plays, and
  // without the photosensitivity warning accepted unless soundOnly.
  [[nodiscard]] std::optional<Error> start(StartRequest request);
  // Each false when it does not apply (nothing playing, already paused, ...).
  bool pause();   // the colour holds as steady light, the sound fades
  bool resume();
  bool seek(double seconds);  // within the session; a paused session stays paused there
  bool seekToPhase(int index);
  // Ends the run (lamps dark, the sound faded out); a finished run is dismissed to idle.
  bool stop();
  // Darkens every output at once from the calling thread, and holds through phase changes
  // (and from one session into idle) until lifted. A new session starts with it lifted.
  void setBlackout(bool on);
  bool blackout() const { return blackout_.load(); }

  // New settings while playing or not: live controls, sound, latency, device, light output.
  void updateSettings(const ProgramSettings& settings);
  // Headband events (one object or a list) count towards the phase playing.
  void headbandEvents(const OrderedJson& events);

  PlayerStatus status() const;
  // The record of the run playing or the last one; null before the first start.
  OrderedJson record() const;

  // Called on the player's queue after every change of state, phase, blackout, light or
  // sound, and once a second while a session plays. Must not call the player's commands
  // synchronously.
  using Listener = std::function<void(const PlayerStatus&)>;
  std::size_t subscribe(Listener listener);
  void unsubscribe(std::size_t id);

  // One tick now; returns when it ran.
  void tick();
  std::vector<AudioDeviceInfo> audioDevices() const;

 private:
  struct Run;
  void tickOnQueue();
  void pace(Run& run, std::int64_t now);
  double heardTime(const Run& run, const ClockSnapshot& snap, std::int64_t now) const;
  void finishRun(std::int64_t now);
  void endRun(std::string_view outcome, double elapsedS, std::int64_t now);
  void updateLight(const Run* run, const TimelineSample* sample, const ClockSnapshot* snap, std::int64_t now);
  // Every output its part of one request (all dark, or the same look on the same phase).
  void sendLight(std::vector<dmx::DmxRequest> parts, std::int64_t now);
  void startSound(Run& run);
  void closeFadedSound(std::int64_t now);
  void publish(const TimelineSample* sample, bool force);
  void startTimer();
  bool soundWanted(const ProgramSettings& settings) const;

  Options options_;
  Clock& clock_;
  std::shared_ptr<LightSink> light_;
  std::unique_ptr<AudioDeviceOutput> output_;
  std::atomic<bool> blackout_{false};
  // Whether a light request is being handed to the output: a blackout waits for it (briefly),
  // so that it is never overtaken by a lit request already decided on.
  std::mutex handingMutex_;
  std::condition_variable handingDone_;
  bool handing_ = false;

  // The queue's own state.
  PlayerState state_ = PlayerState::idle;
  ProgramSettings settings_;
  std::unique_ptr<Run> run_;
  SessionRecord record_;
  std::shared_ptr<SessionRenderer> fading_;  // sound fading out before its stream closes
  std::int64_t closeAtNs_ = 0;
  std::optional<std::vector<dmx::DmxRequest>> lastLight_;  // without sequence numbers and anchors
  std::int64_t lastAnchorNs_ = 0;
  std::int64_t lightRetryAtNs_ = 0;
  std::int64_t lightSequence_ = 0;
  bool lit_ = false;
  std::string lightError_;
  long lastSecond_ = -1;
  int lastPhase_ = -1;
  double lightPulseEpochMs_ = 0;

  mutable std::mutex statusMutex_;
  PlayerStatus status_;
  std::map<std::size_t, Listener> listeners_;
  std::size_t nextListener_ = 1;

  mutable SerialQueue queue_;
  std::unique_ptr<RepeatingTimer> timer_;
};

// The tracks of an installed music library (its manifest.json): their files, kept inside the
// folder, and the words a mood is looked for in.
std::vector<MusicTrack> musicTracksOf(const std::filesystem::path& libraryRoot);

}  // namespace solvera::session
