// The session player on its own queue: commands, the tick that carries the moment to the light,
// the end of a run, and the status others follow.
#include "session/session_player.hpp"

#include <algorithm>
#include <cmath>

#include "common/files.hpp"
#include "session/js_values.hpp"
#include "session/light_look.hpp"

namespace solvera::session {
namespace fs = std::filesystem;

namespace {

constexpr const char* kWarningNeeded = "Accepteer eerst de waarschuwing op het bedieningsscherm.";
constexpr const char* kAlreadyPlaying = "Er speelt al een sessie. Stop die eerst.";
constexpr const char* kNotPlayed = "De sessie start niet: pas haar aan in de editor.";
// The sound's fade after a stop or the end, and a little for the device to play it out.
constexpr std::int64_t kCloseAfterNs = 1'500'000'000;
// A tick that finds the silent schedule this far behind (a suspended machine) starts it afresh:
// the session waits, as the sound does when its device stops.
constexpr std::int64_t kPacerResyncNs = 2'000'000'000;


}  // namespace

std::string_view playerStateWord(PlayerState state) {
  switch (state) {
    case PlayerState::running: return "running";
    case PlayerState::paused: return "paused";
    case PlayerState::finished: return "finished";
    case PlayerState::idle: break;
  }
  return "idle";
}

OrderedJson PlayerStatus::toJson() const {
  const TimelineValues& v = values;
  return {{"state", playerStateWord(state)},
          {"sessionId", sessionId},
          {"title", title},
          {"titleEn", titleEn},
          {"elapsedS", jsonNumber(elapsedS)},
          {"durationS", jsonNumber(durationS)},
          {"phaseIndex", phaseIndex},
          {"phaseCount", phaseCount},
          {"phaseName", phaseName},
          {"phaseNameEn", phaseNameEn},
          {"phaseElapsedS", jsonNumber(phaseElapsedS)},
          {"phaseRemainingS", jsonNumber(phaseRemainingS)},
          {"beatHz", jsonNumber(v.beatHz)},
          {"lightHz", jsonNumber(v.lightHz)},
          {"carrierHz", jsonNumber(v.carrierHz)},
          {"color", rgbToHex(v.r, v.g, v.b)},
          {"rgbIntensity", jsonNumber(v.rgbIntensity)},
          {"whiteIntensity", jsonNumber(v.whiteIntensity)},
          {"pulseVolume", jsonNumber(v.pulseVolume)},
          {"musicVolume", jsonNumber(v.musicVolume)},
          {"noiseVolume", jsonNumber(v.noiseVolume)},
          {"reverbMix", jsonNumber(v.reverbMix)},
          {"envelope", jsonNumber(envelope)},
          {"gliding", gliding},
          {"pulseShape", pulseShape},
          {"noiseType", noiseType},
          {"reverbPreset", reverbPreset},
          {"musicMood", musicMood},
          {"blackout", blackout},
          {"light", light},
          {"lightLit", lightLit},
          {"lightError", lightError},
          {"soundOnly", soundOnly},
          {"sound", sound},
          {"audioDevice", audioDevice},
          {"lightPulseEpochMs", jsonNumber(std::round(lightPulseEpochMs))},
          {"revision", revision}};
}

// One run of a session, from start to its stop or end.
struct SessionPlayer::Run {
  Session session;
  std::shared_ptr<SessionRenderer> renderer;
  bool soundOnly = false;
  bool audible = false;            // the device output pulls the blocks
  std::int64_t pacerStartNs = 0;   // silent: the schedule's start
  std::uint64_t pacedFrames = 0;   // silent: frames made since
  std::uint64_t commandGeneration = 0;
  double commandTargetS = 0;       // where the last command put the session
  // The latest heard time given since the last command: a new fit of the output's clock may
  // put the session a little behind it, and a session never goes back by itself.
  mutable double heardFloorS = 0;
  mutable std::uint64_t heardFloorGeneration = 0;
  double pausedAtS = 0;

  const Timeline& timeline() const { return renderer->timeline(); }
};

SessionPlayer::SessionPlayer(Options options)
    : options_(std::move(options)), clock_(*options_.clock), light_(options_.light), queue_("solvera.session") {
  if (options_.audio) {
    output_ = std::make_unique<AudioDeviceOutput>(options_.audio, AudioStreamFormat{options_.sampleRate, 2},
                                                  options_.audioOptions);
  }
  timer_ = std::make_unique<RepeatingTimer>(queue_);
}

SessionPlayer::~SessionPlayer() {
  queue_.sync([this] {
    timer_->cancel();
    if (run_) endRun("stopped", 0, clock_.monotonicNs());
    // Closing: no fade to wait for.
    if (output_) output_->stop();
    fading_.reset();
    timer_.reset();
  });
  queue_.shutdown();
}

bool SessionPlayer::soundWanted(const ProgramSettings& settings) const {
  return output_ != nullptr && (settings.controls.audioEnabled || settings.controls.musicEnabled);
}

void SessionPlayer::startTimer() {
  if (!options_.timer || timer_->isActive()) return;
  timer_->start(options_.tickPeriod, options_.tickPeriod, [this] { tickOnQueue(); });
}

std::optional<Error> SessionPlayer::start(StartRequest request) {
  return queue_.sync([&]() -> std::optional<Error> {
    if (run_) return Error{kSessionErrorDomain, 409, kAlreadyPlaying};
    if (!request.soundOnly && !request.settings.photosensitivityAccepted) {
      return Error{kSessionErrorDomain, 403, kWarningNeeded};
    }
    Timeline timeline;
    try {
      timeline = buildTimeline(request.session);
    } catch (const ErrorException& error) {
      return error.error();
    }
    // What the tone generator would not play as written is not played differently either.
    if (std::optional<SessionProblem> outside = soundOutsideLimits(timeline)) {
      return Error{kSessionErrorDomain, 400, outside->message() + " " + kNotPlayed};
    }
    const std::int64_t now = clock_.monotonicNs();
    std::shared_ptr<MusicSource> music;
    if (!request.music.empty()) {
      music = std::make_shared<MusicSource>(std::move(request.music), SessionRenderer::moodsOf(timeline),
                                            options_.sampleRate, MusicSource::Mode::live);
    }
    SessionRenderer::Options renderOptions;
    renderOptions.sampleRate = options_.sampleRate;
    renderOptions.noiseSeed = options_.noiseSeed;
    const std::string audioMode = request.session.audioMode.value_or("");
    auto run = std::make_unique<Run>();
    run->renderer = std::make_shared<SessionRenderer>(std::move(timeline), audioMode, request.settings,
                                                      std::move(music), renderOptions);
    run->session = std::move(request.session);
    run->soundOnly = request.soundOnly;
    settings_ = request.settings;
    // The sound of a run still fading out gives way at once.
    fading_.reset();
    blackout_ = false;
    lastLight_.reset();
    lightRetryAtNs_ = 0;
    lightError_.clear();
    lastSecond_ = -1;
    lastPhase_ = -1;
    const std::vector<LightSettings> outputs = lightOutputs(settings_.light);
    const bool lightTakesPart = light_ && !run->soundOnly && !outputs.empty() && settings_.controls.outputEnabled;
    SessionRecord::Context context;
    const std::string& mode = settings_.audio.mode;
    context.audioMode = mode == "session" ? (audioMode.empty() ? "binaural" : audioMode) : mode;
    context.outputMode = lightTakesPart ? outputs.front().outputMode : "";
    context.lightPulse = settings_.light.pulse;
    record_.start(run->session, run->timeline(), context, clock_.wallMs());
    run->pacerStartNs = now;
    run_ = std::move(run);
    state_ = PlayerState::running;
    if (soundWanted(settings_)) startSound(*run_);
    startTimer();
    tickOnQueue();
    return std::nullopt;
  });
}

void SessionPlayer::startSound(Run& run) {
  output_->start(run.renderer, settings_.audio.device);
  run.audible = true;
}

bool SessionPlayer::pause() {
  return queue_.sync([&] {
    if (state_ != PlayerState::running) return false;
    const std::int64_t now = clock_.monotonicNs();
    Run& run = *run_;
    if (!run.audible) pace(run, now);
    const double at = std::min(heardTime(run, run.renderer->snapshot(), now), run.timeline().durationS);
    // The blocks already made ahead of the ear are not played twice: time holds where it is heard.
    run.commandGeneration = run.renderer->transport(false, at);
    run.commandTargetS = at;
    run.pausedAtS = at;
    state_ = PlayerState::paused;
    record_.mark("pause", at, clock_.wallMs());
    tickOnQueue();
    return true;
  });
}

bool SessionPlayer::resume() {
  return queue_.sync([&] {
    if (state_ != PlayerState::paused) return false;
    Run& run = *run_;
    run.commandGeneration = run.renderer->transport(true, run.pausedAtS);
    run.commandTargetS = run.pausedAtS;
    // The silent schedule counts from now.
    run.pacerStartNs = clock_.monotonicNs();
    run.pacedFrames = 0;
    state_ = PlayerState::running;
    record_.mark("resume", run.pausedAtS, clock_.wallMs());
    tickOnQueue();
    return true;
  });
}

bool SessionPlayer::seek(double seconds) {
  return queue_.sync([&] {
    if (!run_ || !std::isfinite(seconds)) return false;
    Run& run = *run_;
    const double target = std::clamp(seconds, 0.0, run.timeline().durationS);
    const bool running = state_ == PlayerState::running;
    if (running && !run.audible) pace(run, clock_.monotonicNs());
    run.commandGeneration = run.renderer->transport(running, target);
    run.commandTargetS = target;
    if (!running) run.pausedAtS = target;
    run.pacerStartNs = clock_.monotonicNs();
    run.pacedFrames = 0;
    record_.mark("seek", target, clock_.wallMs());
    tickOnQueue();
    return true;
  });
}

bool SessionPlayer::seekToPhase(int index) {
  double start = -1;
  queue_.sync([&] {
    if (run_ && index >= 0 && static_cast<std::size_t>(index) < run_->timeline().phases.size()) {
      start = run_->timeline().phases[static_cast<std::size_t>(index)].startS;
    }
  });
  return start >= 0 && seek(start);
}

bool SessionPlayer::stop() {
  return queue_.sync([&] {
    const std::int64_t now = clock_.monotonicNs();
    if (state_ == PlayerState::finished) {
      state_ = PlayerState::idle;
      publish(nullptr, true);
      return true;
    }
    if (!run_) return false;
    Run& run = *run_;
    if (state_ == PlayerState::running && !run.audible) pace(run, now);
    const double elapsed = state_ == PlayerState::paused ? run.pausedAtS
                                                         : std::min(heardTime(run, run.renderer->snapshot(), now), run.timeline().durationS);
    endRun("stopped", elapsed, now);
    state_ = PlayerState::idle;
    publish(nullptr, true);
    return true;
  });
}

void SessionPlayer::endRun(std::string_view outcome, double elapsedS, std::int64_t now) {
  record_.finish(outcome, elapsedS, clock_.wallMs());
  // Dark at the end, whatever was lit.
  if (light_) {
    try {
      light_->blackout();
    } catch (const std::exception&) {
      // Blackout is best effort by its nature; nothing is left to light.
    }
  }
  lit_ = false;
  lastLight_.reset();
  Run& run = *run_;
  if (run.audible) {
    run.renderer->fadeOut();
    fading_ = run.renderer;
    closeAtNs_ = now + kCloseAfterNs;
  }
  run_.reset();
}

void SessionPlayer::finishRun(std::int64_t now) {
  const double duration = run_->timeline().durationS;
  record_.sample(sampleTimeline(run_->timeline(), duration));
  endRun("finished", duration, now);
  state_ = PlayerState::finished;
}

void SessionPlayer::closeFadedSound(std::int64_t now) {
  if (!fading_) return;
  if (!fading_->snapshot().fadedOut && now < closeAtNs_) return;
  fading_.reset();
  if (!run_ && output_) output_->stop();
}

void SessionPlayer::setBlackout(bool on) {
  const bool was = blackout_.exchange(on);
  // At once, from the caller's thread: a tick in progress on the queue must not delay it. A
  // lit request being handed over is waited for (briefly), so that the dark comes after it.
  if (on && light_) {
    {
      std::unique_lock lock(handingMutex_);
      handingDone_.wait_for(lock, kBlackoutWait, [this] { return !handing_; });
    }
    try {
      light_->blackout();
    } catch (const std::exception&) {
      // Best effort; the queued blackout below tries again.
    }
  }
  queue_.post([this, on, was] {
    if (on && light_) {
      // Again behind any frame a tick had in hand when the flag was set.
      try {
        light_->blackout();
      } catch (const std::exception&) {
        // Nothing more can be done for the lamps here.
      }
      lit_ = false;
    }
    lastLight_.reset();
    if (was != on && run_) {
      const std::int64_t now = clock_.monotonicNs();
      const double at = state_ == PlayerState::paused ? run_->pausedAtS : heardTime(*run_, run_->renderer->snapshot(), now);
      record_.mark(on ? "blackoutOn" : "blackoutOff", std::min(at, run_->timeline().durationS), clock_.wallMs());
    }
    tickOnQueue();
    publish(nullptr, true);
  });
}

void SessionPlayer::updateSettings(const ProgramSettings& settings) {
  queue_.sync([&] {
    const ProgramSettings previous = settings_;
    settings_ = settings;
    const LightSettings& was = previous.light;
    const LightSettings& now = settings.light;
    if (lit_ && light_) {
      // Outputs no longer in the settings go dark before the others go on with the new ones
      // (in the tick below): an output left out of a request only stops, holding its last frame.
      const std::vector<LightSettings> after = lightOutputs(now);
      dmx::LightRequest gone;
      for (const LightSettings& output : lightOutputs(was)) {
        const bool kept = std::any_of(after.begin(), after.end(), [&](const LightSettings& o) { return sameDestination(o, output); });
        if (!kept) gone.outputs.push_back(blackoutRequest(output, kLightClientId));
      }
      gone.several = gone.outputs.size() > 1;
      if (!gone.outputs.empty()) {
        try {
          (void)light_->send(gone);
        } catch (const ErrorException&) {
          // An output that fails now was failing before; the new ones are what matters.
        }
      }
    }
    if (!(was == now)) {
      lastLight_.reset();
      lightError_.clear();
      lightRetryAtNs_ = 0;
    }
    if (run_) {
      run_->renderer->setSettings(settings);
      if (run_->audible && previous.audio.device != settings.audio.device) output_->choose(settings.audio.device);
      if (!run_->audible && soundWanted(settings)) startSound(*run_);
    }
    tickOnQueue();
  });
}

void SessionPlayer::headbandEvents(const OrderedJson& events) {
  queue_.post([this, events] { record_.headband(events); });
}

PlayerStatus SessionPlayer::status() const {
  PlayerStatus status;
  {
    std::lock_guard lock(statusMutex_);
    status = status_;
  }
  // The blackout takes effect at once, before the queue publishes the next status.
  status.blackout = blackout_.load();
  return status;
}

OrderedJson SessionPlayer::record() const {
  return queue_.sync([this] { return record_.toJson(); });
}

std::size_t SessionPlayer::subscribe(Listener listener) {
  std::lock_guard lock(statusMutex_);
  const std::size_t id = nextListener_++;
  listeners_.emplace(id, std::move(listener));
  return id;
}

void SessionPlayer::unsubscribe(std::size_t id) {
  std::lock_guard lock(statusMutex_);
  listeners_.erase(id);
}

void SessionPlayer::tick() {
  queue_.sync([this] { tickOnQueue(); });
}

std::vector<AudioDeviceInfo> SessionPlayer::audioDevices() const {
  return output_ ? output_->devices() : std::vector<AudioDeviceInfo>{};
}

void SessionPlayer::pace(Run& run, std::int64_t now) {
  if (state_ != PlayerState::running) return;
  const double rate = run.renderer->sampleRate();
  const double behindNs = static_cast<double>(now - run.pacerStartNs) - static_cast<double>(run.pacedFrames) * 1e9 / rate;
  if (behindNs > static_cast<double>(kPacerResyncNs)) {
    run.pacerStartNs = now - static_cast<std::int64_t>(static_cast<double>(run.pacedFrames) * 1e9 / rate);
  }
  const auto due = static_cast<std::uint64_t>(std::max(0.0, std::floor(static_cast<double>(now - run.pacerStartNs) * rate / 1e9)));
  if (due <= run.pacedFrames) return;
  const std::size_t frames = static_cast<std::size_t>(due - run.pacedFrames);
  const auto firstNs = run.pacerStartNs + static_cast<std::int64_t>(std::llround(static_cast<double>(run.pacedFrames) * 1e9 / rate));
  run.renderer->advanceSilently(frames, firstNs);
  run.pacedFrames = due;
}

double SessionPlayer::heardTime(const Run& run, const ClockSnapshot& snap, std::int64_t now) const {
  if (state_ == PlayerState::paused) return run.pausedAtS;
  // Until the blocks follow the last command, the session stands where the command put it.
  if (snap.blocks == 0 || snap.generation < run.commandGeneration) return run.commandTargetS;
  const double at = snap.sessionS + (snap.running ? static_cast<double>(now - snap.heardNs) / 1e9 : 0.0);
  if (run.heardFloorGeneration != run.commandGeneration) {
    run.heardFloorGeneration = run.commandGeneration;
    run.heardFloorS = run.commandTargetS;
  }
  // What was made before the command may still sound; the session does not go back for it.
  run.heardFloorS = std::max(at, run.heardFloorS);
  return run.heardFloorS;
}

void SessionPlayer::tickOnQueue() {
  const std::int64_t now = clock_.monotonicNs();
  closeFadedSound(now);
  if (!run_) {
    updateLight(nullptr, nullptr, nullptr, now);
    publish(nullptr, false);
    if (!fading_ && timer_) timer_->cancel();
    return;
  }
  Run& run = *run_;
  if (!run.audible) pace(run, now);
  const ClockSnapshot snap = run.renderer->snapshot();
  const double t = heardTime(run, snap, now);
  const double duration = run.timeline().durationS;
  // The end comes when its last frame is heard (not the latest block's: the device keeps
  // pulling past the end, always a latency ahead of the ear).
  if (state_ == PlayerState::running && snap.ended && snap.generation >= run.commandGeneration && t >= duration &&
      now >= snap.endHeardNs) {
    finishRun(now);
    publish(nullptr, true);
    return;
  }
  const TimelineSample sample = sampleTimeline(run.timeline(), t);
  if (state_ == PlayerState::running) record_.sample(sample);
  lightPulseEpochMs_ = 0;
  if (state_ == PlayerState::running && snap.blocks > 0 && snap.lightHz > 0) {
    const double cycleStartNs = static_cast<double>(snap.heardNs) - snap.lightPhase / snap.lightHz * 1e9;
    lightPulseEpochMs_ = clock_.wallMs() - (static_cast<double>(now) - cycleStartNs) / 1e6;
  }
  updateLight(&run, &sample, &snap, now);
  publish(&sample, false);
}

void SessionPlayer::updateLight(const Run* run, const TimelineSample* sample, const ClockSnapshot* snap, std::int64_t now) {
  if (!light_) return;
  const std::vector<LightSettings> outputs = lightOutputs(settings_.light);
  const bool wanted = run != nullptr && !run->soundOnly && settings_.controls.outputEnabled && !blackout_.load() &&
                      settings_.photosensitivityAccepted && !outputs.empty();
  if (!wanted) {
    // Dark once, then quiet: nothing is sent while idle.
    if (lit_) {
      std::vector<dmx::DmxRequest> dark;
      dark.reserve(outputs.size());
      for (const LightSettings& output : outputs) dark.push_back(blackoutRequest(output, kLightClientId));
      sendLight(std::move(dark), now);
    }
    return;
  }
  // An output that failed is tried again now and then, though nothing changed.
  const bool retryDue = !lightError_.empty() && now >= lightRetryAtNs_;
  if (!lastLight_ && now < lightRetryAtNs_) return;
  // Every output shows the one look: the chosen output's fixtures and pulse.
  const DmxFrame frame = buildDmxFrame(fixtureLayoutOf(settings_.light), lightLook(sample->values, sample->envelope, settings_.controls));
  // A paused session holds its colour as steady light: flashing without the session is no rest.
  const bool pulses = settings_.light.pulse && snap->lightHz > 0 && state_ == PlayerState::running;
  std::optional<LightPulse> pulse;
  if (pulses) pulse = LightPulse{snap->lightHz, sample->phase->discrete.pulseShape};
  std::vector<dmx::DmxRequest> parts;
  parts.reserve(outputs.size());
  for (const LightSettings& output : outputs) parts.push_back(buildDmxRequest(output, frame, pulse, kLightClientId));
  if (lastLight_ && *lastLight_ == parts && !retryDue && (!pulse || now - lastAnchorNs_ < kAnchorRefreshNs)) return;
  // The pulse stands where the sound's pulse is heard: the light's phase at the moment the
  // latest block's first frame reaches the ear; one anchor for every output, so they pulse as one.
  for (dmx::DmxRequest& part : parts) {
    if (part.pulseHz) part.pulseAnchor = dmx::PulseAnchor{snap->heardNs, snap->lightPhase};
  }
  sendLight(std::move(parts), now);
}

void SessionPlayer::sendLight(std::vector<dmx::DmxRequest> parts, std::int64_t now) {
  const bool lit = std::any_of(parts.begin(), parts.end(), [](const dmx::DmxRequest& part) {
    return std::any_of(part.dmx.begin(), part.dmx.end(), [](std::uint8_t v) { return v > 0; });
  });
  if (parts.empty()) {
    // No output left to darken: those that went were darkened as they went.
    lit_ = false;
    lastLight_.reset();
    return;
  }
  {
    std::lock_guard lock(handingMutex_);
    // A blackout that came while this was decided on wins.
    if (lit && blackout_.load()) return;
    handing_ = true;
  }
  // Handed over (or failed), whichever way send() returns.
  struct Handed {
    SessionPlayer& player;
    ~Handed() {
      {
        std::lock_guard lock(player.handingMutex_);
        player.handing_ = false;
      }
      player.handingDone_.notify_all();
    }
  };
  dmx::LightRequest request{parts, parts.size() > 1};
  const std::int64_t sequence = ++lightSequence_;
  for (dmx::DmxRequest& part : request.outputs) part.sequence = sequence;
  for (dmx::DmxRequest& part : parts) part.pulseAnchor.reset();  // kept for comparison without what changes every time
  std::vector<std::optional<Error>> errors;
  try {
    const Handed handed{*this};
    errors = light_->send(request);
  } catch (const ErrorException& error) {
    lightError_ = error.error().message;
    lastLight_.reset();
    lightRetryAtNs_ = now + kLightRetryNs;
    return;
  }
  // The outputs keep what they were given, also one that is not there yet (it sends once its
  // device is), so the lamps count as lit; the first fault is shown, named when there are more.
  lit_ = lit;
  lightError_.clear();
  std::size_t failed = 0;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (!errors[i]) continue;
    if (failed++ == 0) lightError_ = parts.size() > 1 ? "Uitgang " + std::to_string(i + 1) + ": " + errors[i]->message : errors[i]->message;
  }
  if (failed > 0) lightRetryAtNs_ = now + kLightRetryNs;
  if (failed > 0 && failed == parts.size()) {
    lastLight_.reset();
    return;
  }
  lastLight_ = std::move(parts);
  lastAnchorNs_ = now;
}

void SessionPlayer::publish(const TimelineSample* sample, bool force) {
  PlayerStatus next;
  {
    std::lock_guard lock(statusMutex_);
    next = status_;
  }
  next.state = state_;
  next.blackout = blackout_.load();
  next.lightLit = lit_;
  next.lightError = lightError_;
  if (run_) {
    const Run& run = *run_;
    const Timeline& timeline = run.timeline();
    next.sessionId = run.session.id;
    next.title = run.session.title;
    next.titleEn = run.session.titleEn.value_or("");
    next.durationS = timeline.durationS;
    next.phaseCount = static_cast<int>(timeline.phases.size());
    next.soundOnly = run.soundOnly;
    next.light = light_ && !run.soundOnly && settings_.controls.outputEnabled && !lightOutputs(settings_.light).empty() &&
                 settings_.photosensitivityAccepted;
    next.sound = run.audible && output_ && output_->status().onDevice;
    next.audioDevice = next.sound ? output_->status().device : "";
    next.lightPulseEpochMs = lightPulseEpochMs_;
  } else if (state_ == PlayerState::finished) {
    next.elapsedS = next.durationS;
    next.phaseElapsedS = next.phaseIndex >= 0 ? next.phaseElapsedS + next.phaseRemainingS : 0;
    next.phaseRemainingS = 0;
    next.envelope = 0;
    next.light = false;
    next.sound = false;
    next.lightPulseEpochMs = 0;
  } else {
    next = PlayerStatus{};
    next.blackout = blackout_.load();
    next.lightLit = lit_;
    next.lightError = lightError_;
  }
  if (sample) {
    next.elapsedS = sample->time;
    next.phaseIndex = sample->phaseIndex;
    next.phaseName = sample->phase->name;
    next.phaseNameEn = sample->phase->nameEn;
    next.phaseElapsedS = sample->phaseElapsedS;
    next.phaseRemainingS = sample->phaseRemainingS;
    next.values = sample->values;
    next.envelope = sample->envelope;
    next.gliding = sample->gliding;
    next.pulseShape = sample->phase->discrete.pulseShape;
    next.noiseType = sample->phase->discrete.noiseType;
    next.reverbPreset = sample->phase->discrete.reverbPreset;
    next.musicMood = sample->phase->discrete.musicMood;
  }
  const auto second = static_cast<long>(std::floor(next.elapsedS));
  std::vector<Listener> listeners;
  {
    std::lock_guard lock(statusMutex_);
    const PlayerStatus& was = status_;
    const bool changed = force || was.state != next.state || was.sessionId != next.sessionId ||
                         was.phaseIndex != next.phaseIndex || was.blackout != next.blackout || was.light != next.light ||
                         was.lightLit != next.lightLit || was.lightError != next.lightError || was.sound != next.sound ||
                         was.audioDevice != next.audioDevice || was.soundOnly != next.soundOnly || second != lastSecond_;
    next.revision = was.revision + (changed ? 1 : 0);
    status_ = next;
    if (!changed) return;
    lastSecond_ = second;
    for (const auto& [id, listener] : listeners_) listeners.push_back(listener);
  }
  for (const Listener& listener : listeners) listener(next);
}

std::vector<MusicTrack> musicTracksOf(const fs::path& root) {
  std::vector<MusicTrack> tracks;
  std::optional<std::string> text = readWholeFile(root / "manifest.json");
  std::optional<Json> manifest = text ? parseJson(*text) : std::nullopt;
  const Json* list = manifest ? memberOf(*manifest, "tracks") : nullptr;
  if (list == nullptr || !list->is_array()) return tracks;
  for (const Json& track : *list) {
    const Json* file = memberOf(track, "file");
    if (file == nullptr || !file->is_string() || file->get_ref<const std::string&>().empty()) continue;
    const fs::path relative(file->get<std::string>());
    // A manifest names files inside its folder, nothing else.
    if (relative.is_absolute() || std::any_of(relative.begin(), relative.end(), [](const fs::path& p) { return p == ".."; })) continue;
    MusicTrack t;
    t.file = root / relative;
    auto word = [&](const char* key) {
      const Json* value = memberOf(track, key);
      if (value != nullptr && value->is_string()) t.words.push_back(value->get<std::string>());
    };
    auto words = [&](const char* key) {
      const Json* value = memberOf(track, key);
      if (value == nullptr || !value->is_array()) return;
      for (const Json& w : *value) {
        if (w.is_string()) t.words.push_back(w.get<std::string>());
      }
    };
    word("mood");
    words("moods");
    words("tags");
    word("title");
    word("category");
    tracks.push_back(std::move(t));
  }
  return tracks;
}

}  // namespace solvera::session
