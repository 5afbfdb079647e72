// The audio endpoints end to end: real HTTP, the real SDL2 output writing its stream to a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <optional>
#include <thread>

#include "common/json.hpp"
#include "common/tests/scoped_env.hpp"
#include "server/audio_routes.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace audio_routes_test {

using namespace solvera;
using namespace solvera::test;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kFrameBytes = 2 * sizeof(float);
constexpr std::size_t kDeviceBlockFrames = 512;

class AudioRoutesTest : public ::testing::Test {
 protected:
  Reply post(const std::string& target, const std::string& body = "") {
    return server.send(request("POST", target, body));
  }
  void expectOk(const Reply& reply, const std::string& what) {
    EXPECT_EQ(reply.statusLine(), "HTTP/1.1 200 OK") << what;
    EXPECT_NE(reply.head().find("\r\nContent-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(reply.body(), R"({"ok":true})") << what;
  }
  void expectFailed(const Reply& reply, const std::string& what) {
    EXPECT_EQ(reply.statusLine(), "HTTP/1.1 500 Internal Server Error") << what;
    EXPECT_NE(reply.head().find("\r\nContent-Type: application/json\r\n"), std::string::npos);
    EXPECT_EQ(reply.body(), R"({"ok":false})") << what;
  }
  // The engine is only ever touched on the server's queue.
  template <typename F>
  auto onQueue(F f) {
    return server.server().queue().sync([&] { return f(server.server().audio().engine()); });
  }
  bool running() {
    return onQueue([](NativeAudioEngine& e) { return e.isRunning(); });
  }

  std::size_t framesIn(const fs::path& file) {
    std::error_code ec;
    auto size = fs::file_size(file, ec);
    return ec ? 0 : static_cast<std::size_t>(size) / kFrameBytes;
  }
  // The disk driver writes at the real-time pace: poll for the stream to reach a length.
  void waitForFrames(const fs::path& file, std::size_t frames) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (framesIn(file) < frames) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "stream stalled at " << framesIn(file);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::vector<float> readStream(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
  }
  // SDL plays silence blocks of its own while a freshly opened device is still paused; the
  // generator's stream starts after them, at a block edge.
  static std::size_t leadingSilentFrames(const std::vector<float>& interleaved) {
    std::size_t frames = 0;
    while (frames + kDeviceBlockFrames <= interleaved.size() / 2 &&
           std::all_of(interleaved.begin() + 2 * frames,
                       interleaved.begin() + 2 * (frames + kDeviceBlockFrames),
                       [](float s) { return s == 0.0f; })) {
      frames += kDeviceBlockFrames;
    }
    return frames;
  }
  // The first frames the generator played.
  std::vector<float> played(const fs::path& file, std::size_t frames) {
    waitForFrames(file, frames);
    auto samples = readStream(file);
    const std::size_t silent = leadingSilentFrames(samples);
    EXPECT_LE(silent, 4 * kDeviceBlockFrames);
    waitForFrames(file, silent + frames);
    samples = readStream(file);
    samples.erase(samples.begin(), samples.begin() + 2 * silent);
    samples.resize(2 * frames);
    return samples;
  }
  static std::vector<float> channel(const std::vector<float>& interleaved, int which,
                                    std::size_t from = 0) {
    std::vector<float> out;
    for (std::size_t i = 2 * from + which; i < interleaved.size(); i += 2) out.push_back(interleaved[i]);
    return out;
  }
  static double frequency(const std::vector<float>& s) {
    int crossings = 0;
    for (std::size_t i = 1; i < s.size(); ++i) crossings += s[i - 1] < 0 && s[i] >= 0;
    return crossings * 44100.0 / static_cast<double>(s.size());
  }
  // The pure render of the settings from phase 0 with a fresh equaliser and limiter.
  static std::vector<float> rendered(const ToneSettings& s, std::size_t frames) {
    std::vector<float> out(frames * 2);
    TonePhases phases;
    Equalizer eq;
    PeakLimiter limiter;
    const AudioBuffer buffer{out.data(), 2};
    renderTone(s, phases, eq, limiter, frames, AudioBufferList(&buffer, 1));
    return out;
  }

  RunningServer server;
  TempDir scratch;
  fs::path stream = scratch.path() / "out.raw";
  ScopedEnv env{"SDL_AUDIODRIVER", "disk"};
  ScopedEnv file{"SDL_DISKAUDIOFILE", stream.string()};
  void useDriver(const char* name) { env.set("SDL_AUDIODRIVER", name); }
};

}  // namespace

TEST_F(AudioRoutesTest, StartUpdateStopThroughTheDiskDriver) {
  expectOk(post("/audio/start", R"({"mode":"binaural","carrier":200,"beat":10,"volume":0.5,)"
                                R"("bass":4,"mid":-2,"treble":1})"),
           "start");
  EXPECT_TRUE(running());

  // The device's stream is exactly the generator's output from phase 0.
  const std::size_t first = 11025;
  const auto start = ToneSettings::validated({"binaural", "sine", 200, 10, 0.5, 0, 4, -2, 1});
  EXPECT_EQ(played(stream, first), rendered(start, first));

  // Query form; the body is not read. The frequency changes without a jump (the equaliser
  // curve stays, so it adds no step of its own).
  expectOk(post("/audio/update?mode=binaural&carrier=400&beat=10&volume=0.5&bass=4&mid=-2&treble=1",
                "not json"),
           "update");
  const std::size_t atUpdate = framesIn(stream);
  EXPECT_EQ(onQueue([](NativeAudioEngine& e) { return e.settings().carrier; }), 400);
  waitForFrames(stream, atUpdate + 8820);
  auto whole = readStream(stream);
  auto left = channel(whole, 0);
  // The slope of the loudest tone, with headroom for the equaliser's lift around 400 Hz.
  const double maxStep = 1.25 * 0.45 * 0.5 * 2 * std::numbers::pi * 395 / 44100;
  for (std::size_t i = 1; i < left.size(); ++i) {
    ASSERT_LE(std::fabs(left[i] - left[i - 1]), maxStep) << "jump at frame " << i;
  }
  auto afterUpdate = channel(whole, 0, atUpdate + 2048);
  EXPECT_NEAR(frequency(afterUpdate), 395, 12);
  EXPECT_NEAR(frequency(channel(whole, 1, atUpdate + 2048)), 405, 12);

  expectOk(post("/audio/stop", "ignored"), "stop");
  EXPECT_FALSE(running());
  EXPECT_EQ(onQueue([](NativeAudioEngine& e) { return e.phases(); }), TonePhases{});

  // Updating a stopped engine answers ok and changes nothing.
  expectOk(post("/audio/update", R"({"mode":"monaural","carrier":900,"beat":5,"volume":1})"),
           "update while stopped");
  EXPECT_FALSE(running());
  EXPECT_EQ(onQueue([](NativeAudioEngine& e) { return e.settings().carrier; }), 400);

  // A request that cannot be built fails both routes with the bare 500.
  expectFailed(post("/audio/start", ""), "empty body");
  expectFailed(post("/audio/update", R"({"mode":"binaural","carrier":"200","beat":1,"volume":1})"),
               "carrier as text");
  expectFailed(post("/audio/start?mode=binaural&carrier=200&beat=1", "{}"), "no volume anywhere");
  EXPECT_FALSE(running());
}

TEST_F(AudioRoutesTest, StartFailsWithoutADeviceAndALaterStartTriesAgain) {
  const std::string body = R"({"mode":"isochronic","carrier":300,"beat":6,"volume":0.4})";
  useDriver("nosuchdriver");
  expectFailed(post("/audio/start", body), "no such driver");
  EXPECT_FALSE(running());
  if (!fs::exists("/dev/snd")) {
    // ALSA without a sound card: the machine's real default fails to open a device.
    useDriver("alsa");
    expectFailed(post("/audio/start", R"({"mode":"monaural","carrier":310,"beat":6,"volume":0.4})"),
                 "no sound card");
    EXPECT_FALSE(running());
    EXPECT_EQ(onQueue([](NativeAudioEngine& e) { return e.settings().carrier; }), 310)
        << "a failed start stores the settings";
  }

  useDriver("disk");
  expectOk(post("/audio/start", body), "device there again");
  EXPECT_TRUE(running());
  EXPECT_EQ(
      played(stream, 4410),
      rendered(ToneSettings::validated({"isochronic", "sine", 300, 6, 0.4, 0, 0, 0, 0}), 4410));

  // Stopping the server stops the engine.
  server.server().stop();
  EXPECT_FALSE(running());
}

TEST_F(AudioRoutesTest, OtherPathsUnderAudio) {
  auto pause = post("/audio/pause");
  EXPECT_EQ(pause.statusLine(), "HTTP/1.1 404 Not Found");
  EXPECT_NE(pause.head().find("\r\nContent-Type: application/json\r\n"), std::string::npos);
  EXPECT_EQ(pause.body(), R"({"ok":false})");
  EXPECT_EQ(post("/audio/").body(), R"({"ok":false})");

  auto get = server.send(request("GET", "/audio/start"));
  EXPECT_EQ(get.statusLine(), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(get.body(), "Not found") << "only POST reaches the audio table";
  EXPECT_FALSE(running());
  EXPECT_FALSE(fs::exists(stream)) << "no device was opened";
}

// The page refuses what the generator would play differently, so the table it reads must be
// the generator's own: every edge given here is where the settings validation clamps.
TEST_F(AudioRoutesTest, LimitsAreWhereTheGeneratorClamps) {
  auto reply = server.send(request("GET", "/audio/limits"));
  ASSERT_EQ(reply.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_NE(reply.head().find("\r\nContent-Type: application/json\r\n"), std::string::npos);
  auto limits = parseJson(reply.body());
  ASSERT_TRUE(limits && limits->is_object()) << reply.body();
  EXPECT_EQ(limits->value("ok", false), true);
  auto edge = [&](const char* key, const char* end) {
    return limits->at(key).at(end).get<double>();
  };
  auto play = [](double carrier, double beat, double volume, double balance, double gain) {
    return ToneSettings::validated(
        {"binaural", "sine", carrier, beat, volume, balance, gain, gain, gain});
  };
  for (const char* end : {"min", "max"}) {
    const double beyond = std::string(end) == "min" ? -1e6 : 1e6;
    const auto clamped = play(beyond, beyond, beyond, beyond, beyond);
    EXPECT_EQ(clamped.beat, edge("beatHz", end)) << end;
    EXPECT_EQ(clamped.carrier, edge("carrierHz", end)) << end;
    EXPECT_EQ(clamped.volume, edge("volume", end)) << end;
    EXPECT_EQ(clamped.balance, edge("balance", end)) << end;
    EXPECT_EQ(clamped.bass, edge("gainDb", end)) << end;
    // The edges themselves play as asked.
    const auto exact = play(edge("carrierHz", end), edge("beatHz", end), 0.5, 0, 0);
    EXPECT_EQ(exact.beat, edge("beatHz", end)) << end;
    EXPECT_EQ(exact.carrier, edge("carrierHz", end)) << end;
  }
  EXPECT_LT(edge("beatHz", "min"), edge("beatHz", "max"));
  EXPECT_EQ(server.send(request("POST", "/audio/limits")).body(), R"({"ok":false})")
      << "a POST stays in the command table, which has no such command";
  EXPECT_FALSE(running());
}

TEST_F(AudioRoutesTest, DevicesAreListedAsTheSoundSystemTellsThem) {
  auto devices = [&] {
    const Reply reply = server.send(request("GET", "/audio/devices"));
    EXPECT_EQ(reply.statusLine(), "HTTP/1.1 200 OK");
    auto json = parseJson(reply.body());
    EXPECT_TRUE(json.has_value()) << reply.body();
    return json.value_or(Json::object());
  };
  // The disk driver stands for one output; whatever it lists, every entry has its two fields.
  Json listed = devices();
  EXPECT_EQ(listed["ok"], true);
  EXPECT_EQ(listed["driver"], "disk");
  ASSERT_TRUE(listed["devices"].is_array());
  for (const Json& device : listed["devices"]) {
    EXPECT_TRUE(device["name"].is_string());
    EXPECT_TRUE(device["default"].is_boolean());
  }
  // No sound system at all is an empty list, not a failure.
  useDriver("nosuchdriver");
  listed = devices();
  EXPECT_EQ(listed["ok"], true);
  EXPECT_EQ(listed["devices"], Json::array());
  // And a listing leaves the beat's own start as it was.
  useDriver("disk");
  expectOk(post("/audio/start", R"({"mode":"isochronic","carrier":300,"beat":6,"volume":0.4})"),
           "start after a listing");
  EXPECT_TRUE(running());
}

}  // namespace audio_routes_test
