// The following output: the chosen device, the default in its place while it is gone, the
// pacer while none plays, and the real SDL output writing the mixer's sound to a file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_device_output.hpp"
#include "audio/sound_mixer.hpp"
#include "common/error.hpp"
#include "common/tests/scoped_env.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace audio_device_output_test {

using namespace solvera;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A source that counts what it is asked for, and how.
class CountingSource : public AudioRenderSource {
 public:
  void render(std::size_t frames, AudioBufferList buffers) noexcept override {
    renderTimed(frames, buffers, {});
  }
  void renderTimed(std::size_t frames, AudioBufferList buffers,
                   const AudioBlockTiming& timing) noexcept override {
    for (const AudioBuffer& b : buffers) std::fill_n(b.data, frames * b.channels, 0.25f);
    frames_ += frames;
    if (!timing.device) paced_ += 1;
    latencyNs_ = timing.latencyNs;
  }
  std::size_t frames() const { return frames_; }
  std::size_t paced() const { return paced_; }
  std::int64_t latencyNs() const { return latencyNs_; }

 private:
  std::atomic<std::size_t> frames_{0};
  std::atomic<std::size_t> paced_{0};
  std::atomic<std::int64_t> latencyNs_{-1};
};

// Devices that come and go at the test's word; the test pulls blocks as a device would.
class FakeDevices : public AudioOutputBackend {
 public:
  struct Device {
    std::string name;
    bool present = true;
    bool isDefault = false;
  };
  struct Opened {
    std::string device;  // as asked for; empty: the default
    std::string resolved;
    std::shared_ptr<AudioRenderSource> source;
    bool closed = false;
  };

  class Stream : public AudioOutputStream {
   public:
    Stream(FakeDevices& owner, std::size_t index) : owner_(owner), index_(index) {}
    bool isRunning() const override {
      std::lock_guard lock(owner_.mutex_);
      const Opened& o = owner_.opened_[index_];
      return !o.closed && owner_.presentLocked(o.resolved);
    }
    void close() override {
      std::lock_guard lock(owner_.mutex_);
      owner_.opened_[index_].closed = true;
      owner_.opened_[index_].source.reset();  // a closed device calls nothing any more
    }
    AudioStreamInfo info() const override {
      std::lock_guard lock(owner_.mutex_);
      return {owner_.opened_[index_].device, "fake", 256, 0.0123};
    }

   private:
    FakeDevices& owner_;
    std::size_t index_;
  };

  std::unique_ptr<AudioOutputStream> start(const AudioStreamFormat& format,
                                           std::shared_ptr<AudioRenderSource> source) override {
    return startOn({}, format, std::move(source));
  }

  std::unique_ptr<AudioOutputStream> startOn(const std::string& device, const AudioStreamFormat&,
                                             std::shared_ptr<AudioRenderSource> source) override {
    std::lock_guard lock(mutex_);
    ++attempts_;
    std::string resolved = device;
    if (device.empty()) {
      for (const Device& d : devices_) {
        if (d.present && d.isDefault) resolved = d.name;
      }
      if (resolved.empty()) throw ErrorException("SDL", -1, "No such audio device");
    } else if (!presentLocked(device)) {
      throw ErrorException("SDL", -1, "No such audio device");
    }
    opened_.push_back({device, resolved, std::move(source), false});
    return std::make_unique<Stream>(*this, opened_.size() - 1);
  }

  std::vector<AudioDeviceInfo> devices() override {
    std::lock_guard lock(mutex_);
    std::vector<AudioDeviceInfo> list;
    for (const Device& d : devices_) {
      if (d.present) list.push_back({d.name, d.isDefault});
    }
    return list;
  }

  void add(std::string name, bool isDefault = false) {
    std::lock_guard lock(mutex_);
    devices_.push_back({std::move(name), true, isDefault});
  }
  void setPresent(const std::string& name, bool present) {
    std::lock_guard lock(mutex_);
    for (Device& d : devices_) {
      if (d.name == name) d.present = present;
    }
  }
  // The stream that plays now (the last one opened and not closed), if any.
  std::optional<Opened> playing() {
    std::lock_guard lock(mutex_);
    for (auto it = opened_.rbegin(); it != opened_.rend(); ++it) {
      if (!it->closed) return *it;
    }
    return std::nullopt;
  }
  // Pulls one block from the playing stream, as its device thread would.
  void pull(std::size_t frames = 256) {
    auto stream = playing();
    ASSERT_TRUE(stream.has_value());
    std::vector<float> block(frames * 2);
    const AudioBuffer buffer{block.data(), 2};
    stream->source->renderTimed(frames, AudioBufferList(&buffer, 1), {.latencyNs = 12'300'000});
  }
  std::size_t opens() {
    std::lock_guard lock(mutex_);
    return opened_.size();
  }
  std::size_t attempts() {
    std::lock_guard lock(mutex_);
    return attempts_;
  }

 private:
  bool presentLocked(const std::string& name) const {
    return std::any_of(devices_.begin(), devices_.end(),
                       [&](const Device& d) { return d.present && d.name == name; });
  }

  mutable std::mutex mutex_;
  std::vector<Device> devices_;
  std::vector<Opened> opened_;
  std::size_t attempts_ = 0;
};

template <typename Condition>
bool waitFor(Condition condition, std::chrono::seconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

AudioDeviceOutput::Options manualChecks() {
  // The list is looked at often; an unchanged list is never tried again within a test.
  return {.checkInterval = 0ms, .pacerBlockFrames = 512, .listInterval = 20ms, .retryInterval = 1h};
}

}  // namespace

TEST(AudioDeviceOutput, FallsBackToTheDefaultAndReturnsToTheChosenDevice) {
  auto devices = std::make_shared<FakeDevices>();
  devices->add("Speakers", true);
  devices->add("USB Headset");
  auto source = std::make_shared<CountingSource>();
  AudioDeviceOutput output(devices, {}, manualChecks());

  output.start(source, "USB Headset");
  auto status = output.status();
  EXPECT_TRUE(status.onDevice);
  EXPECT_EQ(status.device, "USB Headset");
  EXPECT_FALSE(status.fallback);
  EXPECT_DOUBLE_EQ(output.latencySeconds(), 0.0123);
  devices->pull();
  EXPECT_EQ(devices->playing()->resolved, "USB Headset");

  // Unplugged: the default takes over with the same source, which carries on.
  devices->setPresent("USB Headset", false);
  output.check();
  status = output.status();
  EXPECT_TRUE(status.onDevice);
  EXPECT_EQ(status.device, "") << "the default plays";
  EXPECT_TRUE(status.fallback);
  EXPECT_EQ(status.preferred, "USB Headset");
  EXPECT_EQ(devices->playing()->resolved, "Speakers");
  EXPECT_EQ(devices->playing()->source, source) << "the renderer was replaced";
  devices->pull();
  EXPECT_EQ(source->frames(), 512u) << "the renderer did not carry on";

  // Nothing changes while the chosen device stays away.
  const std::size_t opens = devices->opens();
  output.check();
  EXPECT_EQ(devices->opens(), opens);

  // Plugged in again: back to it.
  devices->setPresent("USB Headset", true);
  output.check();
  status = output.status();
  EXPECT_EQ(status.device, "USB Headset");
  EXPECT_FALSE(status.fallback);
  EXPECT_EQ(devices->playing()->resolved, "USB Headset");

  // Another choice moves the stream at once; the empty choice is the default.
  output.choose("Speakers");
  EXPECT_EQ(devices->playing()->resolved, "Speakers");
  output.choose("");
  EXPECT_EQ(output.status().device, "");
  EXPECT_FALSE(output.status().fallback);

  // A chosen device that is not there at start: the default plays, marked as a fallback.
  output.start(source, "Bluetooth");
  EXPECT_EQ(output.status().device, "");
  EXPECT_TRUE(output.status().fallback);

  output.stop();
  EXPECT_FALSE(devices->playing().has_value()) << "a stream stayed open";
  EXPECT_FALSE(output.status().running);
}

TEST(AudioDeviceOutput, PacesTheSourceWhileNoDevicePlays) {
  auto devices = std::make_shared<FakeDevices>();
  auto source = std::make_shared<CountingSource>();
  {
    AudioDeviceOutput output(devices, {}, manualChecks());
    output.start(source);
    auto status = output.status();
    EXPECT_TRUE(status.running);
    EXPECT_FALSE(status.onDevice);
    EXPECT_EQ(status.lastError, "No such audio device");
    EXPECT_EQ(output.latencySeconds(), 0.0);
    ASSERT_TRUE(waitFor([&] { return source->paced() >= 3; })) << "the pacer does not pull";
    EXPECT_EQ(source->latencyNs(), 0);
    // Nothing new to try: no open attempt at every look.
    const std::size_t attempts = devices->attempts();
    output.check();
    EXPECT_EQ(devices->attempts(), attempts);

    // A device comes: it plays (the list is looked at every 20 ms here), and the pacer is
    // gone before check() returns.
    devices->add("Speakers", true);
    ASSERT_TRUE(waitFor([&] {
      output.check();
      return output.status().onDevice;
    })) << "the new device was not tried";
    EXPECT_EQ(devices->attempts(), attempts + 1);
    const std::size_t paced = source->paced();
    devices->pull();
    devices->pull();
    EXPECT_EQ(source->paced(), paced) << "the pacer pulls beside the device";
    EXPECT_EQ(source->latencyNs(), 12'300'000);

    // The device goes again: the pacer takes over.
    devices->setPresent("Speakers", false);
    output.check();
    EXPECT_FALSE(output.status().onDevice);
    ASSERT_TRUE(waitFor([&] { return source->paced() >= paced + 2; }));
  }
  // Destroyed: nothing pulls any more.
  const std::size_t frames = source->frames();
  EXPECT_EQ(source.use_count(), 1) << "the output still holds the source";
  EXPECT_EQ(source->frames(), frames);

  // With its own watcher, the output finds a device that comes by itself.
  AudioDeviceOutput watched(devices, {},
                            {.checkInterval = 5ms, .pacerBlockFrames = 512, .listInterval = 20ms});
  watched.start(source);
  EXPECT_FALSE(watched.status().onDevice);
  devices->setPresent("Speakers", true);
  EXPECT_TRUE(waitFor([&] { return watched.status().onDevice; })) << "the watcher did not look";
}

namespace {

// The mixer as a device's source, with one fixed scene.
class MixerSource : public AudioRenderSource {
 public:
  explicit MixerSource(const SoundScene& scene) : scene_(scene) {}
  void render(std::size_t frames, AudioBufferList buffers) noexcept override {
    mixer_.render(scene_, frames, buffers);
  }
  void renderTimed(std::size_t frames, AudioBufferList buffers,
                   const AudioBlockTiming& timing) noexcept override {
    latencyNs_ = timing.latencyNs;
    render(frames, buffers);
  }
  std::int64_t latencyNs() const { return latencyNs_; }

 private:
  SoundScene scene_;
  SoundMixer mixer_;
  std::atomic<std::int64_t> latencyNs_{-1};
};

}  // namespace

TEST(SdlOutput, DiskDriverPlaysTheMixerAndReportsItsLatency) {
  const fs::path file = fs::temp_directory_path() / ("solvera-disk-" + std::to_string(getpid()));
  test::ScopedEnv env("SDL_AUDIODRIVER", "disk");
  env.set("SDL_DISKAUDIOFILE", file.string());
  SoundScene scene;
  scene.tone = ToneSettings::validated({"isochronic", "sine", 300, 8, 0.5, 0, 0, 0, 0});
  scene.noiseLevel = 0.4;
  scene.master = 0.8;
  scene.reverbMix = 0.3;
  auto source = std::make_shared<MixerSource>(scene);

  AudioDeviceOutput output(sdlAudioBackend("Solvera test"), {}, manualChecks());
  output.start(source);
  const auto status = output.status();
  ASSERT_TRUE(status.onDevice) << status.lastError;
  EXPECT_EQ(status.stream.driver, "disk");
  EXPECT_EQ(status.stream.bufferFrames, 512u);
  EXPECT_GE(status.stream.latencySeconds, 512 / 44100.0);
  const std::size_t wanted = 22050;  // half a second, written at the real-time pace
  ASSERT_TRUE(waitFor([&] {
    std::error_code ec;
    return fs::file_size(file, ec) >= wanted * 2 * sizeof(float) && !ec;
  })) << "the stream did not reach the file";
  output.stop();
  EXPECT_EQ(source->latencyNs(), static_cast<std::int64_t>(status.stream.latencySeconds * 1e9));

  // The file holds exactly what the mixer renders in the device's 512-frame blocks.
  std::vector<float> written(fs::file_size(file) / sizeof(float));
  std::ifstream(file, std::ios::binary)
      .read(reinterpret_cast<char*>(written.data()),
            static_cast<std::streamsize>(written.size() * sizeof(float)));
  fs::remove(file);
  // SDL writes blocks of silence of its own while a freshly opened device is still paused;
  // the mixer's sound begins after them, at a block's edge.
  std::size_t silent = 0;
  while (silent + 1024 <= written.size() &&
         std::all_of(written.begin() + static_cast<long>(silent),
                     written.begin() + static_cast<long>(silent + 1024),
                     [](float v) { return v == 0.0f; })) {
    silent += 1024;
  }
  EXPECT_LE(silent, 4u * 1024);
  written.erase(written.begin(), written.begin() + static_cast<long>(silent));
  SoundMixer reference;
  std::vector<float> expected(written.size());
  for (std::size_t done = 0; done < expected.size(); done += 1024) {
    reference.render(scene, 512, expected.data() + done);
  }
  ASSERT_GE(written.size(), wanted);
  EXPECT_TRUE(std::equal(written.begin(), written.end(), expected.begin()))
      << "the device played something else";
}

namespace {

// A private PulseAudio server with null sinks standing for the speakers and a headset, on a
// socket of the test's own (nothing reaches the user's sound server).
class PrivateSoundServer {
 public:
  PrivateSoundServer() {
    char pattern[] = "/tmp/solvera-pulse-XXXXXX";
    folder_ = mkdtemp(pattern);
    socket_ = folder_ / "native";
    const std::string log = (folder_ / "log").string();
    // Its own folders and environment; quiet; gone 20 s after its last client, should the
    // test end without its destructor (a sanitizer stopping the process).
    std::vector<std::string> environment = {"HOME=" + folder_.string(),
                                            "XDG_RUNTIME_DIR=" + folder_.string(),
                                            "XDG_CONFIG_HOME=" + (folder_ / "config").string()};
    if (const char* path = std::getenv("PATH")) environment.push_back(std::string("PATH=") + path);
    std::vector<std::string> arguments = {
        "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=20", "--use-pid-file=no",
        "--disable-shm=yes", "--log-level=error", "-L",
        "module-native-protocol-unix auth-anonymous=1 socket=" + socket_.string(), "-L",
        "module-null-sink sink_name=speakers sink_properties=device.description=Speakers"};
    std::vector<char*> argv, envp;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawnp(&pid_, "pulseaudio", &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    env_.set("PULSE_SERVER", "unix:" + socket_.string());
    env_.set("SDL_AUDIODRIVER", "pulseaudio");
    ready_ = pid_ > 0 && waitFor([] {
               return pactl("info").find("Default Sink: speakers") != std::string::npos;
             });
  }
  ~PrivateSoundServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    fs::remove_all(folder_);
  }
  PrivateSoundServer(const PrivateSoundServer&) = delete;
  PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

  bool ready() const { return ready_; }

  // pactl against this server; its standard output.
  static std::string pactl(const std::string& arguments) {
    std::string out;
    if (FILE* pipe = popen(("pactl " + arguments + " 2>/dev/null").c_str(), "r")) {
      char buffer[512];
      while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
      pclose(pipe);
    }
    return out;
  }
  // Plugs the headset in; the module's index, to unplug it by.
  std::string plugHeadset() {
    std::string index = pactl(
        "load-module module-null-sink sink_name=headset sink_properties=device.description=Headset");
    while (!index.empty() && (index.back() == '\n' || index.back() == ' ')) index.pop_back();
    return index;
  }
  // The name of the sink that plays our one stream, or empty.
  static std::string sinkOfOurStream() {
    const std::string inputs = pactl("list short sink-inputs");
    const std::string sinks = pactl("list short sinks");
    std::istringstream in(inputs);
    std::string inputIndex, sinkIndex;
    if (!(in >> inputIndex >> sinkIndex)) return {};
    std::istringstream list(sinks);
    std::string line;
    while (std::getline(list, line)) {
      std::istringstream fields(line);
      std::string index, name;
      if (fields >> index >> name && index == sinkIndex) return name;
    }
    return {};
  }

 private:
  fs::path folder_;
  fs::path socket_;
  pid_t pid_ = -1;
  test::ScopedEnv env_;
  bool ready_ = false;
};

}  // namespace

TEST(PulseAudioOutput, FollowsHeadphonesInAndOut) {
  if (std::system("command -v pulseaudio >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no PulseAudio on this machine";
  }
  PrivateSoundServer server;
  ASSERT_TRUE(server.ready()) << "the private sound server did not start";
  const std::string headset = server.plugHeadset();
  ASSERT_FALSE(headset.empty());

  auto backend = sdlAudioBackend("Solvera test");
  const std::vector<AudioDeviceInfo> listed = backend->devices();
  EXPECT_EQ(listed, (std::vector<AudioDeviceInfo>{{"Speakers", true}, {"Headset", false}}));
  EXPECT_EQ(backend->driver(), "pulseaudio");

  auto source = std::make_shared<CountingSource>();
  AudioDeviceOutput output(backend, {}, {.checkInterval = 20ms, .pacerBlockFrames = 512});
  output.start(source, "Headset");
  ASSERT_TRUE(output.status().onDevice) << output.status().lastError;
  EXPECT_EQ(output.status().stream.driver, "pulseaudio");
  ASSERT_TRUE(waitFor([] { return PrivateSoundServer::sinkOfOurStream() == "headset"; }));
  ASSERT_TRUE(waitFor([&] { return source->frames() > 0; })) << "the headset does not play";
  // The latency is the server's own figure once it answers and settles (a sink just woken
  // reports its idle latency for a moment), not the callback's length that stands in until
  // then; the server holds no more than that length (its target) in all.
  const double bufferSeconds = static_cast<double>(output.status().stream.bufferFrames) / 44100.0;
  EXPECT_GE(output.status().stream.bufferFrames, 2048u) << "room for the stalls of a busy machine";
  EXPECT_TRUE(waitFor([&] {
    const double latency = output.latencySeconds();
    return latency != bufferSeconds && latency > 0.001 && latency < bufferSeconds * 1.2;
  })) << "no figure from the server: " << output.latencySeconds() << " s";

  // Headphones out: the speakers take over without a word from anyone, and the same source
  // goes on from where it was.
  PrivateSoundServer::pactl("unload-module " + headset);
  ASSERT_TRUE(waitFor([&] { return output.status().fallback; })) << "no fallback";
  EXPECT_EQ(output.status().device, "");
  EXPECT_TRUE(waitFor([] { return PrivateSoundServer::sinkOfOurStream() == "speakers"; }));
  const std::size_t before = source->frames();
  EXPECT_TRUE(waitFor([&] { return source->frames() > before + 4410; })) << "the sound stopped";
  EXPECT_EQ(source->paced(), 0u) << "a device was there all the time";

  // Headphones in again: back to them.
  ASSERT_FALSE(server.plugHeadset().empty());
  ASSERT_TRUE(waitFor([&] { return output.status().device == "Headset"; })) << "no return";
  EXPECT_TRUE(waitFor([] { return PrivateSoundServer::sinkOfOurStream() == "headset"; }));

  // The default chosen: the sound server moves the stream when its default changes.
  output.choose("");
  ASSERT_TRUE(waitFor([] { return PrivateSoundServer::sinkOfOurStream() == "speakers"; }));
  PrivateSoundServer::pactl("set-default-sink headset");
  EXPECT_TRUE(waitFor([] { return PrivateSoundServer::sinkOfOurStream() == "headset"; }))
      << "the stream did not follow the default";
  output.stop();
  EXPECT_TRUE(waitFor([] { return PrivateSoundServer::sinkOfOurStream().empty(); }));
}

}  // namespace audio_device_output_test
