// SDL2 audio output: float32 stereo at 44100 Hz through SDL's pull callback.
#include <SDL2/SDL.h>

#include <mutex>

#include "audio/audio_output.hpp"
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

Error sdlError() { return Error{"SDL", -1, SDL_GetError()}; }

// Releases the audio subsystem; when nothing else of SDL is in use, SDL's own state (hints,
// driver lists) goes too, so that a later start begins from scratch. Under sdlMutex().
void quitAudio() {
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
  if (SDL_WasInit(SDL_INIT_EVERYTHING) == 0) SDL_Quit();
}

class SdlAudioStream final : public AudioOutputStream {
 public:
  SdlAudioStream(std::shared_ptr<AudioRenderSource> source, int channels)
      : source_(std::move(source)), channels_(static_cast<std::uint32_t>(channels)) {}
  ~SdlAudioStream() override { close(); }

  // Runs on SDL's audio thread. SDL hands over one interleaved buffer in the format asked
  // for; it converts to the device's own format behind it.
  static void callback(void* user, Uint8* stream, int bytes) {
    auto* self = static_cast<SdlAudioStream*>(user);
    const AudioBuffer buffer{reinterpret_cast<float*>(stream), self->channels_};
    const auto frames = static_cast<std::size_t>(bytes) / (sizeof(float) * self->channels_);
    self->source_->render(frames, AudioBufferList(&buffer, 1));
  }

  void open(const AudioStreamFormat& format, const std::string& appName) {
    std::lock_guard lock(sdlMutex());
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (!appName.empty()) SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, appName.c_str());
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
      Error error = sdlError();
      quitAudio();
      throw ErrorException(std::move(error));
    }
    SDL_AudioSpec want{};
    want.freq = static_cast<int>(format.sampleRate);
    want.format = AUDIO_F32SYS;
    want.channels = static_cast<Uint8>(format.channels);
    want.samples = kCallbackFrames;
    want.callback = &SdlAudioStream::callback;
    want.userdata = this;
    // No changes allowed: SDL converts our stream to whatever the device takes.
    device_ = SDL_OpenAudioDevice(nullptr, 0, &want, nullptr, 0);
    if (device_ == 0) {
      Error error = sdlError();
      quitAudio();
      throw ErrorException(std::move(error));
    }
    SDL_PauseAudioDevice(device_, 0);
  }

  bool isRunning() const override {
    return device_ != 0 && SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_PLAYING;
  }

  void close() override {
    if (device_ == 0) return;
    std::lock_guard lock(sdlMutex());
    SDL_CloseAudioDevice(device_);  // joins the audio thread
    device_ = 0;
    quitAudio();
  }

 private:
  std::shared_ptr<AudioRenderSource> source_;
  std::uint32_t channels_;
  SDL_AudioDeviceID device_ = 0;
};

class SdlAudioBackend : public AudioOutputBackend {
 public:
  explicit SdlAudioBackend(std::string appName) : appName_(std::move(appName)) {}

  std::unique_ptr<AudioOutputStream> start(const AudioStreamFormat& format,
                                           std::shared_ptr<AudioRenderSource> source) override {
    auto stream = std::make_unique<SdlAudioStream>(std::move(source), format.channels);
    stream->open(format, appName_);
    return stream;
  }

 private:
  std::string appName_;
};

}  // namespace

std::shared_ptr<AudioOutputBackend> sdlAudioBackend(std::string appName) {
  return std::make_shared<SdlAudioBackend>(std::move(appName));
}

}  // namespace solvera
