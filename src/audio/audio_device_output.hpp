// Plays a render source on the chosen output device and keeps it playing: back to the default
// when the chosen device goes (headphones out), back to the chosen one when it returns, and a
// pacer that pulls at the real-time pace while no device plays at all.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_output.hpp"

namespace solvera {

class AudioDeviceOutput {
 public:
  struct Options {
    // How often the watcher looks at the stream and the device list; zero: no watcher thread
    // (the owner calls check() itself, as tests do).
    std::chrono::milliseconds checkInterval{500};
    // Frames per pull while the pacer stands in for a device.
    std::size_t pacerBlockFrames = 512;
    // While paced, the device list is looked at this often and a device tried at once when
    // the list changed (listing starts the sound system's client each time); otherwise a
    // device is tried again after retryInterval, then twice as long each time up to
    // maxRetryInterval (a failed open may make the sound system print a line of its own).
    std::chrono::milliseconds listInterval{5000};
    std::chrono::milliseconds retryInterval{5000};
    std::chrono::milliseconds maxRetryInterval{300000};
  };

  struct Status {
    bool running = false;    // between start() and stop()
    bool onDevice = false;   // a device plays; false while the pacer pulls
    std::string preferred;   // the chosen device (empty: the default)
    std::string device;      // the device that plays (empty: the default)
    bool fallback = false;   // a device is chosen but the default plays in its place
    AudioStreamInfo stream;  // of the device that plays
    std::string lastError;   // the platform's message from the last failed open
  };

  AudioDeviceOutput(std::shared_ptr<AudioOutputBackend> backend, AudioStreamFormat format,
                    Options options);
  explicit AudioDeviceOutput(std::shared_ptr<AudioOutputBackend> backend,
                             AudioStreamFormat format = {})
      : AudioDeviceOutput(std::move(backend), format, Options{}) {}
  ~AudioDeviceOutput();
  AudioDeviceOutput(const AudioDeviceOutput&) = delete;
  AudioDeviceOutput& operator=(const AudioDeviceOutput&) = delete;

  // Starts pulling from source: on the preferred device (empty: the default), else on the
  // default, else through the pacer. Never fails; status() tells where it plays. A second
  // start replaces the source and the choice.
  void start(std::shared_ptr<AudioRenderSource> source, std::string preferredDevice = {});
  // Another device; the stream moves at once and the source carries on where it was.
  void choose(std::string preferredDevice);
  // Closes the device (or stops the pacer); the source is not called after this returns.
  void stop();
  // One look: reopens a stream that stopped by itself, returns to the chosen device when it is
  // listed again, retries a device while the pacer stands in.
  void check();

  Status status() const;
  // Seconds from a callback's start to its first frame being heard (0 while paced).
  double latencySeconds() const;
  // The devices as the backend lists them now.
  std::vector<AudioDeviceInfo> devices() const { return backend_->devices(); }

 private:
  void openLocked();
  void closeLocked();
  void startPacerLocked();
  void stopPacerLocked();
  void watch(const std::stop_token& stop);

  std::shared_ptr<AudioOutputBackend> backend_;
  AudioStreamFormat format_;
  Options options_;
  mutable std::mutex mutex_;
  std::shared_ptr<AudioRenderSource> source_;
  std::unique_ptr<AudioOutputStream> stream_;
  std::string openedOn_;  // the device name the stream was opened with
  std::vector<AudioDeviceInfo> listedAtFailure_;  // the device list when no device opened
  std::chrono::steady_clock::time_point listAt_{};   // when to look at the list again
  std::chrono::steady_clock::time_point retryAt_{};  // when to try a device regardless
  std::chrono::milliseconds retryDelay_{};
  Status status_;
  std::jthread pacer_;
  std::condition_variable_any watchWake_;
  std::jthread watcher_;
};

}  // namespace solvera
