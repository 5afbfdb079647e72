// The session's one clock: blocks of sound, the session's time and the pulse phases.
#include "session/session_renderer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "audio/audio_limits.hpp"
#include "audio/music_source.hpp"
#include "common/clock.hpp"
#include "dmx/dmx_request.hpp"

namespace solvera::session {
namespace {

constexpr std::array<std::string_view, 4> kToneModes{"binaural", "monaural", "isochronic", "isochronic-monaural"};
// How far the light's phase may move towards the beat's in one block when they come back to
// one rate (after a phase whose light ran at a rate of its own): about 0.34 cycles a second.
constexpr double kMaxLockStep = 0.002;
// Callback times this far from the smoothed schedule, this many in a row, start it afresh (an
// underrun, a resume).
constexpr double kResyncNs = 50e6;
constexpr int kResyncCallbacks = 3;
// The callbacks the clock's fit weighs: their weight halves in about 14 s.
constexpr double kClockFitSeconds = 20;
// The fit's origin moves on every six seconds or so, keeping its sums small and exact.
constexpr double kRecentreFrames = 262'144;
// Time the device lost (it played silence for want of sound, and took fewer frames than real
// time passed) is skipped once this much of it has gathered, so that the session keeps real
// time on a busy machine.
constexpr double kLostTimeNs = 20e6;
// A callback may come late while the sound still plays from the server's buffer and the next
// ones then come early: only lateness that all callbacks of this long keep counts as lost.
constexpr std::int64_t kLostTimeWindowNs = 2'000'000'000;
// A sound card's own clock may run slow by up to a few hundred parts per million: that much
// lateness is the card's pace, not lost time, and is followed as before.
constexpr double kDevicePaceAllowance = 3e-4;

bool isToneModeWord(std::string_view word) {
  return std::find(kToneModes.begin(), kToneModes.end(), word) != kToneModes.end();
}

double finiteOr(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

// Where a pulse stands highest in its period, 0..1: the peak of its fundamental, the part the
// eye and the ear follow at these rates (a symmetric pulse's centre). Lamps and sound pulse
// together when their fundamentals peak together, also when their shapes differ.
template <typename Level>
double fundamentalPeak(const Level& level) {
  constexpr int kSteps = 2048;
  double c = 0, s = 0;
  for (int i = 0; i < kSteps; ++i) {
    const double p = (i + 0.5) / kSteps;
    const double v = level(p);
    c += v * std::cos(2 * std::numbers::pi * p);
    s += v * std::sin(2 * std::numbers::pi * p);
  }
  const double peak = std::atan2(s, c) / (2 * std::numbers::pi);
  return peak - std::floor(peak);
}

constexpr std::array kShapes{PulseShape::sine, PulseShape::triangle, PulseShape::square, PulseShape::trapezoid,
                             PulseShape::sawtooth};

}  // namespace

std::int64_t SessionRenderer::CallbackClock::update(std::int64_t callbackNs, std::size_t frames,
                                                    double sampleRate) noexcept {
  const double nominal = 1e9 / sampleRate;
  if (started_) {
    const double predicted = originNs_ + lastEstimate_ + static_cast<double>(lastFrames_) * nsPerFrame_;
    if (std::fabs(static_cast<double>(callbackNs) - predicted) > kResyncNs) {
      // One callback far off is the device's thread held up while the server's buffer played on
      // (a busy machine): the schedule stands. Only callbacks that stay off start it afresh.
      if (++outliers_ < kResyncCallbacks) {
        frame_ += static_cast<double>(lastFrames_);
        lastEstimate_ = predicted - originNs_;
        lastFrames_ = frames;
        return std::llround(predicted);
      }
      started_ = false;
    }
    outliers_ = 0;
  }
  if (!started_) {
    started_ = true;
    originNs_ = static_cast<double>(callbackNs);
    frame_ = 0;
    nsPerFrame_ = nominal;
    s0_ = sx_ = sy_ = sxx_ = sxy_ = 0;
  } else {
    frame_ += static_cast<double>(lastFrames_);
  }
  // Far from the origin the sums would lose precision: move it to this callback.
  if (frame_ > kRecentreFrames) recentre(frame_, lastEstimate_ + static_cast<double>(lastFrames_) * nsPerFrame_);
  const double x = frame_;
  const double y = static_cast<double>(callbackNs) - originNs_;
  const double keep = std::exp(-static_cast<double>(frames) / (kClockFitSeconds * sampleRate));
  s0_ = s0_ * keep + 1;
  sx_ = sx_ * keep + x;
  sy_ = sy_ * keep + y;
  sxx_ = sxx_ * keep + x * x;
  sxy_ = sxy_ * keep + x * y;
  const double denominator = s0_ * sxx_ - sx_ * sx_;
  double estimate = y;
  if (s0_ > 2.5 && denominator > 0) {
    nsPerFrame_ = std::clamp((s0_ * sxy_ - sx_ * sy_) / denominator, nominal * 0.99, nominal * 1.01);
    estimate = (sy_ - nsPerFrame_ * sx_) / s0_ + nsPerFrame_ * x;
  }
  lastEstimate_ = estimate;
  lastFrames_ = frames;
  return std::llround(originNs_ + estimate);
}

void SessionRenderer::CallbackClock::recentre(double byFrames, double byNs) noexcept {
  // x' = x - dx, y' = y - dy, the sums rewritten for the new origin.
  const double dx = byFrames, dy = byNs;
  sxy_ = sxy_ - dx * sy_ - dy * sx_ + dx * dy * s0_;
  sxx_ = sxx_ - 2 * dx * sx_ + dx * dx * s0_;
  sx_ -= dx * s0_;
  sy_ -= dy * s0_;
  originNs_ += dy;
  frame_ -= dx;
  lastEstimate_ -= dy;
}

SessionRenderer::SessionRenderer(Timeline timeline, std::string_view sessionAudioMode,
                                 const ProgramSettings& settings, std::shared_ptr<MusicSource> music,
                                 Options options)
    : timeline_(std::move(timeline)),
      sampleRate_(options.sampleRate),
      sessionMode_(isToneModeWord(sessionAudioMode) ? toneModeFromWord(sessionAudioMode) : ToneMode::binaural),
      mixer_(options.sampleRate, options.noiseSeed),
      controls_(controlsOf(settings)),
      running_(options.running),
      sessionS_(std::clamp(finiteOr(options.startS, 0), 0.0, timeline_.durationS)) {
  const std::vector<std::string> moods = moodsOf(timeline_);
  for (const TimelinePhase& phase : timeline_.phases) {
    phaseShape_.push_back(pulseShapeFromWord(phase.discrete.audioPulseShape));
    // The lamps take an unknown shape as a sine, as pulseShapeFromWord does.
    const std::string_view lightShape = pulseShapeWord(pulseShapeFromWord(phase.discrete.pulseShape));
    phaseLightPeak_.push_back(fundamentalPeak([&](double p) { return dmx::pulseMultiplier(p, lightShape); }));
    phaseNoise_.push_back(noiseTypeFromWord(phase.discrete.noiseType));
    phaseReverb_.push_back(reverbPresetFromWord(phase.discrete.reverbPreset));
    auto mood = std::find(moods.begin(), moods.end(), phase.discrete.musicMood);
    phaseMood_.push_back(mood == moods.end() ? -1 : static_cast<int>(mood - moods.begin()));
  }
  for (const ToneMode mode : {ToneMode::isochronic, ToneMode::binaural, ToneMode::monaural, ToneMode::isochronicMonaural}) {
    for (const PulseShape shape : kShapes) {
      beatPeak_[static_cast<std::size_t>(mode)][static_cast<std::size_t>(shape)] =
          fundamentalPeak([&](double q) { return beatLoudness(mode, q, shape); });
    }
  }
  mixer_.setMusic(std::move(music));
  controlsIn_.store(controls_);
  transportIn_.store(Transport{0, running_, 0, 0, false});
  ended_ = sessionS_ >= timeline_.durationS;
  // The light starts where it keeps to the beat: the beat starts at phase 0.
  const TimelineSample startSample = sampleTimeline(timeline_, sessionS_);
  lightPhase_ = lightOffset(sceneOf(startSample).tone, startSample.phaseIndex);
  ClockSnapshot first;
  first.sessionS = sessionS_;
  first.lightPhase = lightPhase_;
  first.running = running_ && !ended_;
  first.ended = ended_;
  snapshot_.store(first);
}

SessionRenderer::~SessionRenderer() = default;

std::vector<std::string> SessionRenderer::moodsOf(const Timeline& timeline) {
  std::vector<std::string> moods;
  for (const TimelinePhase& phase : timeline.phases) {
    const std::string& mood = phase.discrete.musicMood;
    if (!mood.empty() && std::find(moods.begin(), moods.end(), mood) == moods.end()) moods.push_back(mood);
  }
  return moods;
}

SessionRenderer::Controls SessionRenderer::controlsOf(const ProgramSettings& settings) {
  Controls c;
  c.sessionMode = !isToneModeWord(settings.audio.mode);
  c.mode = c.sessionMode ? ToneMode::binaural : toneModeFromWord(settings.audio.mode);
  c.sessionShape = settings.audio.pulseShape == "session";
  c.shape = pulseShapeFromWord(settings.audio.pulseShape);
  c.balance = settings.audio.balance;
  c.bass = settings.audio.bass;
  c.mid = settings.audio.mid;
  c.treble = settings.audio.treble;
  c.noise = settings.audio.noise;
  c.master = std::clamp(finiteOr(settings.controls.masterVolume, 0), 0.0, 100.0) / 100;
  c.audioEnabled = settings.controls.audioEnabled;
  c.musicEnabled = settings.controls.musicEnabled;
  c.extraLatencyNs = std::llround(std::clamp(finiteOr(settings.audio.latencyMs, 0), 0.0, kMaxExtraLatencyMs) * 1e6);
  return c;
}

std::uint64_t SessionRenderer::transport(bool running, std::optional<double> seekToS) {
  Transport t = transportIn_.load();
  t.generation = ++generation_;
  t.running = running;
  if (seekToS) {
    t.seekGeneration = t.generation;
    t.seekToS = *seekToS;
  }
  transportIn_.store(t);
  return t.generation;
}

void SessionRenderer::fadeOut() {
  Transport t = transportIn_.load();
  t.generation = ++generation_;
  t.fadeOut = true;
  transportIn_.store(t);
}

void SessionRenderer::setSettings(const ProgramSettings& settings) { controlsIn_.store(controlsOf(settings)); }

void SessionRenderer::takeCommands() noexcept {
  Controls c;
  if (controlsIn_.tryLoad(c)) controls_ = c;
  Transport t;
  if (!transportIn_.tryLoad(t) || t.generation == applied_) return;
  applied_ = t.generation;
  running_ = t.running;
  // Commands carry the whole state, so one that overtook another between two blocks loses
  // nothing; the latest seek is taken once.
  if (t.seekGeneration != appliedSeek_) {
    appliedSeek_ = t.seekGeneration;
    sessionS_ = std::clamp(finiteOr(t.seekToS, 0), 0.0, timeline_.durationS);
    ended_ = sessionS_ >= timeline_.durationS;
    endBlock_ = 0;
    endHeardNs_ = 0;
  }
  if (t.fadeOut) fading_ = true;
}

double SessionRenderer::lightOffset(const ToneSettings& tone, int phaseIndex) const noexcept {
  const double offset = phaseLightPeak_[static_cast<std::size_t>(phaseIndex)] -
                        beatPeak_[static_cast<std::size_t>(tone.mode)][static_cast<std::size_t>(tone.pulseShape)];
  return offset - std::floor(offset);
}

SoundScene SessionRenderer::sceneOf(const TimelineSample& sample) const noexcept {
  const auto phase = static_cast<std::size_t>(sample.phaseIndex);
  const TimelineValues& v = sample.values;
  const Controls& c = controls_;
  // A paused (or ended) session falls silent through the mixer's glide.
  const double playing = running_ && !ended_ ? 1.0 : 0.0;
  const double master = c.master * sample.envelope * playing;
  SoundScene scene;
  scene.tone.mode = c.sessionMode ? sessionMode_ : c.mode;
  scene.tone.pulseShape = c.sessionShape ? phaseShape_[phase] : c.shape;
  scene.tone.carrier = std::clamp(finiteOr(v.carrierHz, kCarrierRangeHz.min), kCarrierRangeHz.min, kCarrierRangeHz.max);
  scene.tone.beat = std::clamp(finiteOr(v.beatHz, kBeatRangeHz.min), kBeatRangeHz.min, kBeatRangeHz.max);
  scene.tone.volume = c.audioEnabled ? v.pulseVolume / 100 * master : 0.0;
  scene.tone.balance = c.balance;
  scene.tone.bass = c.bass;
  scene.tone.mid = c.mid;
  scene.tone.treble = c.treble;
  scene.noiseType = phaseNoise_[phase];
  scene.noiseLevel = c.noise && c.audioEnabled ? v.noiseVolume / 100 : 0.0;
  scene.musicLevel = c.musicEnabled ? v.musicVolume / 100 : 0.0;
  scene.musicMood = phaseMood_[phase];
  scene.reverbPreset = phaseReverb_[phase];
  scene.reverbMix = v.reverbMix / 100;
  scene.master = master;
  return scene;
}

void SessionRenderer::nextBlock(bool audible) noexcept {
  takeCommands();
  const TimelineSample sample = sampleTimeline(timeline_, sessionS_);
  const SoundScene scene = sceneOf(sample);
  const double lightHz = std::max(0.0, finiteOr(sample.values.lightHz, 0));
  block_ = ClockSnapshot{};
  block_.blocks = blocks_ + 1;
  block_.generation = applied_;
  block_.sessionS = sessionS_;
  block_.beatPhase = beatPhase_;
  block_.lightPhase = lightPhase_;
  block_.beatHz = scene.tone.beat;
  block_.lightHz = lightHz;
  block_.running = running_ && !ended_;
  block_.ended = ended_;
  // The first block that starts at the end: its first frame is the session's last heard.
  if (ended_ && endBlock_ == 0) endBlock_ = block_.blocks;
  if (blocks_ == 0) mixer_.snapLevels(scene);
  if (audible) {
    mixer_.render(scene, kBlockFrames, pending_.data());
    if (fading_) {
      const double step = 1.0 / (kFadeOutSeconds * sampleRate_);
      for (std::size_t i = 0; i < kBlockFrames; ++i) {
        const auto gain = static_cast<float>(fadeGain_);
        pending_[2 * i] *= gain;
        pending_[2 * i + 1] *= gain;
        fadeGain_ = std::max(0.0, fadeGain_ - step);
      }
    }
    pendingOffset_ = 0;
  } else {
    mixer_.advance(scene, kBlockFrames);
    if (fading_) fadeGain_ = 0;  // nothing is heard, so nothing needs to fade
  }
  beatPhase_ = mixer_.beatPhase();
  // The light runs at its own rate; while it shares the beat's rate it keeps to the beat's
  // phase, so that lamps and sound pulse together.
  double light = lightPhase_ + lightHz * static_cast<double>(kBlockFrames) / sampleRate_;
  if (lightHz > 0 && std::fabs(lightHz - scene.tone.beat) < 1e-9) {
    const double target = beatPhase_ + lightOffset(scene.tone, sample.phaseIndex);
    double difference = target - light;
    difference -= std::floor(difference + 0.5);
    light += std::clamp(difference, -kMaxLockStep, kMaxLockStep);
  }
  lightPhase_ = light - std::floor(light);
  if (running_ && !ended_) {
    sessionS_ += static_cast<double>(kBlockFrames) / sampleRate_;
    if (sessionS_ >= timeline_.durationS) {
      sessionS_ = timeline_.durationS;
      ended_ = true;
    }
  }
  ++blocks_;
}

void SessionRenderer::publish(std::int64_t heardNs, bool audible) noexcept {
  ClockSnapshot s = block_;
  s.heardNs = heardNs;
  // A block published again (from the next callback's better estimate) moves its end too.
  if (s.ended && s.blocks == endBlock_) endHeardNs_ = heardNs;
  s.endHeardNs = s.ended ? endHeardNs_ : 0;
  s.audible = audible;
  s.fadedOut = fading_ && fadeGain_ <= 0;
  snapshot_.store(s);
}

void SessionRenderer::pull(std::size_t frames, AudioBufferList buffers, float* interleaved,
                           std::optional<std::int64_t> firstFrameNs, double nsPerFrame) noexcept {
  silentFrames_ = 0;
  // The block begun in the last call is the one heard first now.
  if (firstFrameNs && pendingOffset_ < kBlockFrames && blocks_ > 0) {
    publish(*firstFrameNs - std::llround(static_cast<double>(pendingOffset_) * nsPerFrame), true);
  }
  const bool oneInterleaved = buffers.size() == 1 && buffers[0].channels == 2;
  for (std::size_t done = 0; done < frames;) {
    if (pendingOffset_ == kBlockFrames) {
      nextBlock(true);
      if (firstFrameNs) publish(*firstFrameNs + std::llround(static_cast<double>(done) * nsPerFrame), true);
    }
    const std::size_t n = std::min(frames - done, kBlockFrames - pendingOffset_);
    const float* from = pending_.data() + 2 * pendingOffset_;
    if (interleaved != nullptr) {
      std::memcpy(interleaved + 2 * done, from, n * 2 * sizeof(float));
    } else if (oneInterleaved) {
      std::memcpy(buffers[0].data + 2 * done, from, n * 2 * sizeof(float));
    } else {
      for (std::size_t i = 0; i < n; ++i) writeSample(from[2 * i], from[2 * i + 1], done + i, buffers);
    }
    done += n;
    pendingOffset_ += n;
  }
}

void SessionRenderer::render(std::size_t frames, AudioBufferList buffers) noexcept {
  renderTimed(frames, buffers, AudioBlockTiming{systemClock().monotonicNs(), 0, true});
}

void SessionRenderer::renderTimed(std::size_t frames, AudioBufferList buffers,
                                  const AudioBlockTiming& timing) noexcept {
  if (!timing.device) {
    // A stand-in pulls while no device plays: nobody hears it, so only time and phases move.
    for (const AudioBuffer& buffer : buffers) std::fill_n(buffer.data, frames * std::max<std::uint32_t>(buffer.channels, 1), 0.0f);
    advanceSilently(frames, timing.callbackNs);
    return;
  }
  skipLostTime(timing.callbackNs);
  const std::int64_t start = callbackClock_.update(timing.callbackNs, frames, sampleRate_);
  pull(frames, buffers, nullptr, start + timing.latencyNs + controls_.extraLatencyNs, callbackClock_.nsPerFrame());
  lost_.pulledFrames += frames;
}

void SessionRenderer::skipLostTime(std::int64_t callbackNs) noexcept {
  LostTime& l = lost_;
  if (!l.started) {
    l = LostTime{};
    l.started = true;
    l.originNs = callbackNs;
    l.windowStartNs = callbackNs;
    return;
  }
  const double elapsedNs = static_cast<double>(callbackNs - l.originNs);
  const double late = elapsedNs - static_cast<double>(l.pulledFrames) * 1e9 / sampleRate_;
  if (callbackNs - l.windowStartNs > kLostTimeWindowNs) {
    l.previousMin = l.currentMin;
    l.currentMin = late;
    l.windowStartNs = callbackNs;
  } else {
    l.currentMin = std::min(l.currentMin, late);
  }
  const double lostNs = std::min(l.previousMin, l.currentMin) - l.skippedNs - kDevicePaceAllowance * elapsedNs;
  if (!(lostNs >= kLostTimeNs)) return;
  // What is left of the block begun is dropped too: the next frames heard are real time's.
  const auto blocks = static_cast<std::size_t>(lostNs / 1e9 * sampleRate_) / kBlockFrames;
  l.skippedNs += static_cast<double>(blocks * kBlockFrames + (kBlockFrames - pendingOffset_)) * 1e9 / sampleRate_;
  pendingOffset_ = kBlockFrames;
  // A fade under way goes on by the time skipped (unheard blocks would end it at once).
  const double fade = fadeGain_;
  for (std::size_t i = 0; i < blocks; ++i) nextBlock(false);
  if (fading_) fadeGain_ = std::max(0.0, fade - static_cast<double>(blocks * kBlockFrames) / (kFadeOutSeconds * sampleRate_));
}

void SessionRenderer::advanceSilently(std::size_t frames, std::int64_t firstFrameNs) noexcept {
  callbackClock_.reset();
  lost_.started = false;
  // Sound made for a device that is gone is not heard; the session goes on from its block.
  pendingOffset_ = kBlockFrames;
  const double nsPerFrame = 1e9 / sampleRate_;
  // Frames left over from the last call come first.
  double at = static_cast<double>(firstFrameNs) - static_cast<double>(silentFrames_) * nsPerFrame;
  silentFrames_ += frames;
  while (silentFrames_ >= kBlockFrames) {
    nextBlock(false);
    publish(std::llround(at), false);
    at += static_cast<double>(kBlockFrames) * nsPerFrame;
    silentFrames_ -= kBlockFrames;
  }
}

void SessionRenderer::renderInterleaved(float* out, std::size_t frames) noexcept {
  pull(frames, {}, out, std::nullopt, 0);
}

}  // namespace solvera::session
