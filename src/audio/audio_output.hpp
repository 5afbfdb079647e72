// The audio output device behind one small interface: SDL2 in the program, fakes in tests.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "audio/tone_generator.hpp"

namespace solvera {

struct AudioStreamFormat {
  double sampleRate = kToneSampleRate;
  int channels = 2;  // 32-bit float samples
};

// What a device pulls samples from, on the device's own real-time thread.
class AudioRenderSource {
 public:
  virtual ~AudioRenderSource() = default;
  // Fills frames of every buffer; must not allocate, block for long or log.
  virtual void render(std::size_t frames, AudioBufferList buffers) noexcept = 0;
};

// A started output stream. Closing waits for a callback in progress, so after close() the
// source is not called again.
class AudioOutputStream {
 public:
  virtual ~AudioOutputStream() = default;
  // True while the device plays; false once it stopped by itself (unplugged, lost server).
  virtual bool isRunning() const = 0;
  virtual void close() = 0;
};

class AudioOutputBackend {
 public:
  virtual ~AudioOutputBackend() = default;
  // Opens the default output device in the format and starts pulling from source. Throws
  // ErrorException with the platform's message when no device can be opened.
  virtual std::unique_ptr<AudioOutputStream> start(const AudioStreamFormat& format,
                                                   std::shared_ptr<AudioRenderSource> source) = 0;
};

// SDL2 audio: the driver is chosen anew at every start (SDL_AUDIODRIVER, else SDL's own
// order), so a device that appears later is found. appName names the stream in the sound
// server's mixer.
std::shared_ptr<AudioOutputBackend> sdlAudioBackend(std::string appName);

}  // namespace solvera
