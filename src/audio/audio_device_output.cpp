// The following output: open on the chosen device or the default, watch, reopen, pace.
#include "audio/audio_device_output.hpp"

#include <algorithm>
#include <exception>
#include <vector>

#include "common/clock.hpp"

namespace solvera {
namespace {

bool listed(const std::vector<AudioDeviceInfo>& devices, const std::string& name) {
  return std::any_of(devices.begin(), devices.end(),
                     [&](const AudioDeviceInfo& d) { return d.name == name; });
}

// A pacer that fell this far behind (a suspended machine) starts its schedule afresh rather
// than pulling the whole gap at once.
constexpr auto kPacerResync = std::chrono::seconds(1);

}  // namespace

AudioDeviceOutput::AudioDeviceOutput(std::shared_ptr<AudioOutputBackend> backend,
                                     AudioStreamFormat format, Options options)
    : backend_(std::move(backend)), format_(format), options_(options) {}

AudioDeviceOutput::~AudioDeviceOutput() { stop(); }

void AudioDeviceOutput::start(std::shared_ptr<AudioRenderSource> source,
                              std::string preferredDevice) {
  {
    std::lock_guard lock(mutex_);
    closeLocked();
    stopPacerLocked();
    source_ = std::move(source);
    status_.preferred = std::move(preferredDevice);
    status_.running = true;
    openLocked();
  }
  if (options_.checkInterval.count() > 0 && !watcher_.joinable()) {
    watcher_ = std::jthread([this](const std::stop_token& stop) { watch(stop); });
  }
}

void AudioDeviceOutput::choose(std::string preferredDevice) {
  std::lock_guard lock(mutex_);
  status_.preferred = std::move(preferredDevice);
  if (!status_.running) return;
  closeLocked();
  stopPacerLocked();
  openLocked();
}

void AudioDeviceOutput::stop() {
  {
    std::lock_guard lock(mutex_);
    status_.running = false;
    closeLocked();
    stopPacerLocked();
    source_.reset();
  }
  if (watcher_.joinable()) {
    watcher_.request_stop();
    watchWake_.notify_all();
    watcher_.join();
    watcher_ = std::jthread();
  }
}

void AudioDeviceOutput::check() {
  std::lock_guard lock(mutex_);
  if (!status_.running) return;
  if (stream_ && !stream_->isRunning()) {
    // The device went away under the stream: the next one takes over at once.
    closeLocked();
    openLocked();
    return;
  }
  if (!stream_) {
    // Paced: a device may have come (back).
    const auto now = std::chrono::steady_clock::now();
    if (now < listAt_) return;
    listAt_ = now + options_.listInterval;
    const bool changed = backend_->devices() != listedAtFailure_;
    if (!changed && now < retryAt_) return;
    retryDelay_ = changed ? options_.retryInterval
                          : std::min(2 * retryDelay_, options_.maxRetryInterval);
    stopPacerLocked();
    openLocked();
    return;
  }
  const std::string& preferred = status_.preferred;
  if (!preferred.empty() && openedOn_ != preferred && listed(backend_->devices(), preferred)) {
    closeLocked();
    openLocked();
  }
}

AudioDeviceOutput::Status AudioDeviceOutput::status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

double AudioDeviceOutput::latencySeconds() const {
  std::lock_guard lock(mutex_);
  // Asked of the stream each time: the sound server's figure comes in once it plays.
  return status_.onDevice && stream_ ? stream_->info().latencySeconds : 0.0;
}

void AudioDeviceOutput::openLocked() {
  const std::string preferred = status_.preferred;
  auto tryOpen = [&](const std::string& device) {
    try {
      stream_ = backend_->startOn(device, format_, source_);
      openedOn_ = device;
    } catch (const std::exception& error) {
      stream_.reset();
      status_.lastError = error.what();
    }
    return stream_ != nullptr;
  };
  bool opened = false;
  if (!preferred.empty()) {
    // A backend that lists nothing may still open a named device; a listed one shows whether
    // the chosen device is there at all.
    const std::vector<AudioDeviceInfo> devices = backend_->devices();
    if (devices.empty() || listed(devices, preferred)) opened = tryOpen(preferred);
  }
  if (!opened) opened = tryOpen({});
  if (!opened) {
    listedAtFailure_ = backend_->devices();
    if (retryDelay_.count() == 0) retryDelay_ = options_.retryInterval;
    listAt_ = std::chrono::steady_clock::now() + options_.listInterval;
    retryAt_ = std::chrono::steady_clock::now() + retryDelay_;
    status_.onDevice = false;
    status_.device.clear();
    status_.fallback = false;
    status_.stream = {};
    startPacerLocked();
    return;
  }
  retryDelay_ = {};
  status_.onDevice = true;
  status_.device = openedOn_;
  status_.fallback = !preferred.empty() && openedOn_ != preferred;
  status_.stream = stream_->info();
}

void AudioDeviceOutput::closeLocked() {
  if (stream_) stream_->close();  // waits for a callback in progress
  stream_.reset();
  openedOn_.clear();
  status_.onDevice = false;
}

void AudioDeviceOutput::startPacerLocked() {
  if (pacer_.joinable() || !source_) return;
  std::shared_ptr<AudioRenderSource> source = source_;
  const std::size_t frames = std::max<std::size_t>(options_.pacerBlockFrames, 1);
  const auto channels = static_cast<std::uint32_t>(std::max(format_.channels, 1));
  const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(static_cast<double>(frames) / format_.sampleRate));
  pacer_ = std::jthread([source, frames, channels, period](const std::stop_token& stop) {
    std::vector<float> block(frames * channels);
    const AudioBuffer buffer{block.data(), channels};
    std::mutex sleepMutex;
    std::condition_variable_any sleeper;
    auto next = std::chrono::steady_clock::now();
    while (!stop.stop_requested()) {
      const auto now = std::chrono::steady_clock::now();
      if (now - next > kPacerResync) next = now;
      if (next > now) {
        std::unique_lock lock(sleepMutex);
        sleeper.wait_until(lock, stop, next, [] { return false; });
        continue;
      }
      const AudioBlockTiming timing{.callbackNs = systemClock().monotonicNs(), .latencyNs = 0, .device = false};
      source->renderTimed(frames, AudioBufferList(&buffer, 1), timing);
      next += period;
    }
  });
}

void AudioDeviceOutput::stopPacerLocked() {
  if (!pacer_.joinable()) return;
  pacer_.request_stop();
  pacer_.join();
  pacer_ = std::jthread();
}

void AudioDeviceOutput::watch(const std::stop_token& stop) {
  std::mutex waitMutex;
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(waitMutex);
      if (watchWake_.wait_for(lock, stop, options_.checkInterval, [] { return false; })) break;
    }
    if (stop.stop_requested()) break;
    check();
  }
}

}  // namespace solvera
