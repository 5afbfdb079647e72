// An output backend for tests: the test pulls blocks itself and decides when the device fails.
#pragma once

#include <memory>
#include <vector>

#include "audio/audio_output.hpp"
#include "common/error.hpp"

namespace solvera::test {

class FakeAudioBackend : public AudioOutputBackend {
 public:
  struct Device {
    bool running = true;
    bool closed = false;
  };

  class Stream : public AudioOutputStream {
   public:
    explicit Stream(std::shared_ptr<Device> device) : device_(std::move(device)) {}
    bool isRunning() const override { return device_->running && !device_->closed; }
    void close() override { device_->closed = true; }

   private:
    std::shared_ptr<Device> device_;
  };

  std::unique_ptr<AudioOutputStream> start(const AudioStreamFormat& format,
                                           std::shared_ptr<AudioRenderSource> source) override {
    ++starts;
    if (failNext) {
      failNext = false;
      throw ErrorException("SDL", -1, "ALSA: Couldn't open audio device");
    }
    lastFormat = format;
    this->source = std::move(source);
    devices.push_back(std::make_shared<Device>());
    return std::make_unique<Stream>(devices.back());
  }

  // Pulls one interleaved stereo block as the device would.
  std::vector<float> pull(std::size_t frames) {
    std::vector<float> block(frames * 2, 7.0f);
    const AudioBuffer buffer{block.data(), 2};
    source->render(frames, AudioBufferList(&buffer, 1));
    return block;
  }

  int starts = 0;
  bool failNext = false;
  AudioStreamFormat lastFormat{};
  std::shared_ptr<AudioRenderSource> source;
  std::vector<std::shared_ptr<Device>> devices;
};

}  // namespace solvera::test
