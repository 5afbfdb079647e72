// The real-time tone generator: settings shared with the render thread, and the output stream.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "audio/audio_output.hpp"
#include "audio/tone_generator.hpp"

namespace solvera {

// Called only from the server's queue. The render thread shares the settings under one guard
// taken once per block; the phases belong to the render thread while a stream runs.
class NativeAudioEngine {
 public:
  explicit NativeAudioEngine(std::shared_ptr<AudioOutputBackend> backend);
  ~NativeAudioEngine();
  NativeAudioEngine(const NativeAudioEngine&) = delete;
  NativeAudioEngine& operator=(const NativeAudioEngine&) = delete;

  // Stores the settings, then opens the output unless it is already running. Throws
  // ErrorException with the platform's message when no device can be opened; the engine
  // then stays idle with the new settings stored.
  void start(const AudioRequest& request);
  // Validates and stores the settings in one critical section; the next block plays them.
  // The phases run on, so a frequency change continues without a jump.
  void update(const AudioRequest& request);
  // Closes the output (waiting for a block in progress) and resets the phases to 0. The
  // settings stay. Also valid when idle.
  void stop();
  bool isRunning() const;
  // The device the next start opens (empty: the default). A named device that cannot be
  // opened gives way to the default.
  void setOutputDevice(std::string device) { device_ = std::move(device); }

  ToneSettings settings() const;
  // Meaningful while no output runs (the render thread owns them otherwise).
  TonePhases phases() const;

  static constexpr AudioStreamFormat kFormat{kToneSampleRate, 2};

 private:
  // Outlives a late callback: the source holds it weakly.
  struct Shared {
    mutable std::mutex settingsGuard;
    ToneSettings settings;  // guarded
    TonePhases phases;      // render thread while running, else the queue
  };
  class ToneSource;

  void closeOutput();

  std::shared_ptr<AudioOutputBackend> backend_;
  std::string device_;
  std::unique_ptr<AudioOutputStream> engine_;
  std::shared_ptr<ToneSource> sourceNode_;  // carries the equaliser and limiter with their memory
  std::shared_ptr<Shared> shared_;
};

}  // namespace solvera
