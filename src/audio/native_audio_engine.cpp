// NativeAudioEngine: start, update, stop, and the render callback with one snapshot a block.
#include "audio/native_audio_engine.hpp"

#include <algorithm>

#include "common/error.hpp"

namespace solvera {

// The pull source: one settings snapshot per block, then the pure render on local copies.
class NativeAudioEngine::ToneSource : public AudioRenderSource {
 public:
  explicit ToneSource(std::weak_ptr<Shared> shared) : shared_(std::move(shared)) {}

  void render(std::size_t frames, AudioBufferList buffers) noexcept override {
    auto shared = shared_.lock();
    if (!shared) {
      // The engine is gone: silence rather than whatever the device buffer held.
      for (const AudioBuffer& buffer : buffers) {
        std::fill_n(buffer.data, frames * std::max<std::uint32_t>(buffer.channels, 1), 0.0f);
      }
      return;
    }
    ToneSettings snapshot;
    {
      std::lock_guard lock(shared->settingsGuard);
      snapshot = shared->settings;
    }
    renderTone(snapshot, shared->phases, equalizer_, limiter_, frames, buffers);
  }

 private:
  std::weak_ptr<Shared> shared_;
  Equalizer equalizer_{kToneSampleRate};
  PeakLimiter limiter_{kToneSampleRate};
};

NativeAudioEngine::NativeAudioEngine(std::shared_ptr<AudioOutputBackend> backend)
    : backend_(std::move(backend)), shared_(std::make_shared<Shared>()) {}

NativeAudioEngine::~NativeAudioEngine() { stop(); }

void NativeAudioEngine::update(const AudioRequest& request) {
  const ToneSettings validated = ToneSettings::validated(request);
  std::lock_guard lock(shared_->settingsGuard);
  shared_->settings = validated;
}

void NativeAudioEngine::start(const AudioRequest& request) {
  update(request);
  if (isRunning()) return;
  // A stream that stopped by itself is released before a new one opens; the phases carry on
  // from where it stopped, as only stop() resets them.
  closeOutput();
  auto source = std::make_shared<ToneSource>(shared_);
  if (!device_.empty()) {
    try {
      engine_ = backend_->startOn(device_, kFormat, source);
    } catch (const ErrorException&) {
      engine_.reset();  // the chosen device is gone: the default plays instead
    }
  }
  if (!engine_) engine_ = backend_->start(kFormat, source);  // throws; nothing is stored then
  sourceNode_ = std::move(source);
}

void NativeAudioEngine::closeOutput() {
  if (engine_) engine_->close();
  engine_.reset();
  sourceNode_.reset();
}

void NativeAudioEngine::stop() {
  closeOutput();
  shared_->phases = {};
}

bool NativeAudioEngine::isRunning() const { return engine_ && engine_->isRunning(); }

ToneSettings NativeAudioEngine::settings() const {
  std::lock_guard lock(shared_->settingsGuard);
  return shared_->settings;
}

TonePhases NativeAudioEngine::phases() const { return shared_->phases; }

}  // namespace solvera
