// The audio output device behind one small interface: SDL2 in the program, fakes in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audio/tone_generator.hpp"

namespace solvera {

struct AudioStreamFormat {
  double sampleRate = kToneSampleRate;
  int channels = 2;  // 32-bit float samples
};

// When a block will be heard: the monotonic time at which the device asked for it plus the
// stream's latency. A paced stream (no device) has no latency.
struct AudioBlockTiming {
  std::int64_t callbackNs = 0;  // monotonic clock (CLOCK_MONOTONIC), the callback's start
  std::int64_t latencyNs = 0;   // from the callback's start to the block's first frame heard
  bool device = true;           // false while a pacer stands in for a missing device
};

// What a device pulls samples from, on the device's own real-time thread.
class AudioRenderSource {
 public:
  virtual ~AudioRenderSource() = default;
  // Fills frames of every buffer; must not allocate, block for long or log.
  virtual void render(std::size_t frames, AudioBufferList buffers) noexcept = 0;
  // The same with the block's timing; sources that keep a clock override this one.
  virtual void renderTimed(std::size_t frames, AudioBufferList buffers,
                           const AudioBlockTiming& timing) noexcept {
    (void)timing;
    render(frames, buffers);
  }
};

// An output device as the sound system lists it.
struct AudioDeviceInfo {
  std::string name;
  bool isDefault = false;

  friend bool operator==(const AudioDeviceInfo&, const AudioDeviceInfo&) = default;
};

// What an open stream plays on.
struct AudioStreamInfo {
  std::string device;  // empty: the system's default output
  std::string driver;
  std::size_t bufferFrames = 0;  // frames per callback
  double latencySeconds = 0;     // at least the buffer's length
};

// A started output stream. Closing waits for a callback in progress, so after close() the
// source is not called again.
class AudioOutputStream {
 public:
  virtual ~AudioOutputStream() = default;
  // True while the device plays; false once it stopped by itself (unplugged, lost server).
  virtual bool isRunning() const = 0;
  virtual void close() = 0;
  virtual AudioStreamInfo info() const { return {}; }
};

class AudioOutputBackend {
 public:
  virtual ~AudioOutputBackend() = default;
  // Opens the default output device in the format and starts pulling from source. Throws
  // ErrorException with the platform's message when no device can be opened.
  virtual std::unique_ptr<AudioOutputStream> start(const AudioStreamFormat& format,
                                                   std::shared_ptr<AudioRenderSource> source) = 0;
  // The same on a named device (empty: the default). Throws when that device cannot be
  // opened. A backend that cannot name devices opens the default.
  virtual std::unique_ptr<AudioOutputStream> startOn(const std::string& device,
                                                     const AudioStreamFormat& format,
                                                     std::shared_ptr<AudioRenderSource> source) {
    (void)device;
    return start(format, std::move(source));
  }
  // The output devices present now; empty when the system lists none (or cannot list them).
  virtual std::vector<AudioDeviceInfo> devices() { return {}; }
  // The sound system's driver in use ("pulseaudio", "alsa", "disk", ...), or empty.
  virtual std::string driver() { return {}; }
};

// SDL2 audio: the driver is chosen anew at every start (SDL_AUDIODRIVER, else SDL's own
// order), so a device that appears later is found. appName names the stream in the sound
// server's mixer.
std::shared_ptr<AudioOutputBackend> sdlAudioBackend(std::string appName);

}  // namespace solvera
