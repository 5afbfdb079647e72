// SDL2 audio output: float32 stereo at 44100 Hz through SDL's pull callback.
#include <SDL2/SDL.h>

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "audio/audio_output.hpp"
#include "audio/sound_server_latency.hpp"
#include "common/clock.hpp"
#include "common/error.hpp"

namespace solvera {
namespace {

// SDL's subsystem reference count is not thread-safe; engines of several servers in one
// process (tests) must not init and quit it at once.
std::mutex& sdlMutex() {
  static std::mutex mutex;
  return mutex;
}

// Frames per callback: about 12 ms, short enough for updates to be heard at once.
constexpr Uint16 kCallbackFrames = 512;
// A sound server takes SDL's callback size as its whole latency target and divides it between
// its own buffer and the sink's: at 512 frames the sink is left with about 3 ms, and any stall
// of the server's or our thread on a busy machine is an underrun (heard as a dropout, and the
// session's clock, which counts the frames played, falls behind real time). About 93 ms leaves
// room for the stalls of a busy machine (tens of ms, measured); the light is moved later by
// the latency, so nobody sees the difference, and updates are still heard within a tenth of a
// second.
constexpr Uint16 kSoundServerCallbackFrames = 4096;

bool isSoundServer(std::string_view driver) { return driver == "pulseaudio" || driver == "pipewire"; }

Error sdlError() { return Error{"SDL", -1, SDL_GetError()}; }

// When the sound server gives no figure of its own: a sound server holds about one callback's
// worth in its buffer and sink together (the target SDL asks of it); ALSA keeps two periods
// queued; the file and null drivers take the block at once.
double latencyOf(std::string_view driver, std::size_t bufferFrames, double sampleRate) {
  const double buffer = static_cast<double>(bufferFrames) / sampleRate;
  const bool queued = driver == "alsa" || driver == "jack" || driver == "sndio";
  return queued ? 2.0 * buffer : buffer;
}

// Releases the audio subsystem; when nothing else of SDL is in use, SDL's own state (hints,
// driver lists) goes too, so that a later start begins from scratch. Under sdlMutex().
void quitAudio() {
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  if (SDL_WasInit(SDL_INIT_EVERYTHING) == 0) SDL_Quit();
}

// Starts the audio subsystem; false (with SDL's message in error) when no driver works.
// Under sdlMutex().
bool initAudio(Error& error) {
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) return true;
  error = sdlError();
  quitAudio();
  return false;
}

class SdlAudioStream final : public AudioOutputStream {
 public:
  SdlAudioStream(std::shared_ptr<AudioRenderSource> source, int channels)
      : source_(std::move(source)), channels_(static_cast<std::uint32_t>(channels)) {}
  SdlAudioStream(const SdlAudioStream&) = delete;
  SdlAudioStream& operator=(const SdlAudioStream&) = delete;
  ~SdlAudioStream() override { close(); }

  // Runs on SDL's audio thread. SDL hands over one interleaved buffer in the format asked
  // for; it converts to the device's own format behind it.
  static void callback(void* user, Uint8* stream, int bytes) {
    auto* self = static_cast<SdlAudioStream*>(user);
    const AudioBuffer buffer{reinterpret_cast<float*>(stream), self->channels_};
    const auto frames = static_cast<std::size_t>(bytes) / (sizeof(float) * self->channels_);
    const SoundServerLatency* watcher = self->watcher_.load(std::memory_order_acquire);
    const std::int64_t server = watcher != nullptr ? watcher->latencyNs() : 0;
    const AudioBlockTiming timing{.callbackNs = systemClock().monotonicNs(),
                                  .latencyNs = server > 0 ? server : self->latencyNs_.load(std::memory_order_relaxed)};
    self->source_->renderTimed(frames, AudioBufferList(&buffer, 1), timing);
  }

  void open(const std::string& deviceName, const AudioStreamFormat& format,
            const std::string& appName) {
    std::lock_guard lock(sdlMutex());
    if (!appName.empty()) SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, appName.c_str());
    Error initError;
    if (!initAudio(initError)) throw ErrorException(std::move(initError));
    const char* driver = SDL_GetCurrentAudioDriver();
    const std::string driverName = driver != nullptr ? driver : "";
    // A name of its own, so that the server's list tells this stream from others of ours.
    static std::atomic<int> streams{0};
    const std::string streamName = "Geluid " + std::to_string(++streams);
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, streamName.c_str());
    SDL_AudioSpec want{};
    want.freq = static_cast<int>(format.sampleRate);
    want.format = AUDIO_F32SYS;
    want.channels = static_cast<Uint8>(format.channels);
    want.samples = isSoundServer(driverName) ? kSoundServerCallbackFrames : kCallbackFrames;
    want.callback = &SdlAudioStream::callback;
    want.userdata = this;
    // No changes allowed: SDL converts our stream to whatever the device takes.
    SDL_AudioSpec have{};
    device_ = SDL_OpenAudioDevice(deviceName.empty() ? nullptr : deviceName.c_str(), 0, &want,
                                  &have, 0);
    if (device_ == 0) {
      Error error = sdlError();
      quitAudio();
      throw ErrorException(std::move(error));
    }
    info_.device = deviceName;
    info_.driver = driverName;
    info_.bufferFrames = have.samples != 0 ? have.samples : want.samples;
    info_.latencySeconds = latencyOf(info_.driver, info_.bufferFrames, format.sampleRate);
    // Known only now that the device runs (paused); the callback starts with the unpausing.
    latencyNs_.store(static_cast<std::int64_t>(info_.latencySeconds * 1e9),
                     std::memory_order_relaxed);
    if (isSoundServer(driverName)) {
      server_ = SoundServerLatency::watch(streamName);
      watcher_.store(server_.get(), std::memory_order_release);
    }
    SDL_PauseAudioDevice(device_, 0);
  }

  AudioStreamInfo info() const override {
    AudioStreamInfo info = info_;
    const SoundServerLatency* watcher = watcher_.load(std::memory_order_acquire);
    if (const std::int64_t server = watcher != nullptr ? watcher->latencyNs() : 0; server > 0) {
      info.latencySeconds = static_cast<double>(server) / 1e9;
    }
    return info;
  }

  bool isRunning() const override {
    return device_ != 0 && SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_PLAYING;
  }

  void close() override {
    if (device_ == 0) return;
    std::lock_guard lock(sdlMutex());
    SDL_CloseAudioDevice(device_);  // joins the audio thread
    device_ = 0;
    watcher_.store(nullptr, std::memory_order_relaxed);
    server_.reset();
    quitAudio();
  }

 private:
  std::shared_ptr<AudioRenderSource> source_;
  std::uint32_t channels_;
  SDL_AudioDeviceID device_ = 0;
  AudioStreamInfo info_;
  std::atomic<std::int64_t> latencyNs_{0};
  std::unique_ptr<SoundServerLatency> server_;  // the server's own figure, where it gives one
  // The same for the callback: SDL starts its thread before the figure's watcher exists.
  std::atomic<const SoundServerLatency*> watcher_{nullptr};
};

class SdlAudioBackend : public AudioOutputBackend {
 public:
  explicit SdlAudioBackend(std::string appName) : appName_(std::move(appName)) {}

  std::unique_ptr<AudioOutputStream> start(const AudioStreamFormat& format,
                                           std::shared_ptr<AudioRenderSource> source) override {
    return startOn({}, format, std::move(source));
  }

  std::unique_ptr<AudioOutputStream> startOn(const std::string& device,
                                             const AudioStreamFormat& format,
                                             std::shared_ptr<AudioRenderSource> source) override {
    auto stream = std::make_unique<SdlAudioStream>(std::move(source), format.channels);
    stream->open(device, format, appName_);
    return stream;
  }

  std::vector<AudioDeviceInfo> devices() override {
    std::lock_guard lock(sdlMutex());
    Error error;
    if (!initAudio(error)) {
      driver_.clear();
      return {};
    }
    std::vector<AudioDeviceInfo> list;
    const int count = SDL_GetNumAudioDevices(0);
    for (int i = 0; i < count; ++i) {
      if (const char* name = SDL_GetAudioDeviceName(i, 0)) list.push_back({name, false});
    }
    // The sound server's default sink, where the driver can tell.
    char* defaultName = nullptr;
    SDL_AudioSpec spec{};
    if (SDL_GetDefaultAudioInfo(&defaultName, &spec, 0) == 0 && defaultName != nullptr) {
      for (AudioDeviceInfo& device : list) device.isDefault = device.name == defaultName;
      SDL_free(defaultName);
    }
    const char* driver = SDL_GetCurrentAudioDriver();
    driver_ = driver != nullptr ? driver : "";
    quitAudio();
    return list;
  }

  std::string driver() override {
    std::lock_guard lock(sdlMutex());
    return driver_;
  }

 private:
  std::string appName_;
  std::string driver_;  // as last seen; under sdlMutex()
};

}  // namespace

std::shared_ptr<AudioOutputBackend> sdlAudioBackend(std::string appName) {
  return std::make_shared<SdlAudioBackend>(std::move(appName));
}

}  // namespace solvera
