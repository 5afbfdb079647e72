// The player on a fake clock: consent, blackout over a phase change, pause, seek into a glide,
// stop, the end; and, with a device that the test pulls itself, the light's pulse anchored to
// the pulse of the sound as it is heard.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>

#include "dmx/light_router.hpp"
#include "dmx/tests/dmx_test_support.hpp"

#include "session/session_player.hpp"
#include "session/timeline.hpp"

namespace solvera::session {
// This file's own names: the test programs compile their files together in batches.
namespace player_test {
namespace {

struct SentLight {
  dmx::DmxRequest request;  // the first output's part
  std::optional<dmx::PulseAnchor> anchor;
  std::int64_t sentNs = 0;
  std::vector<dmx::DmxRequest> parts;  // every output's
  bool lit() const {
    return std::any_of(request.dmx.begin(), request.dmx.end(), [](std::uint8_t v) { return v > 0; });
  }
};

// Every light request and blackout, in order, from whichever thread; handed on to the real
// outputs when given some.
class FakeLight final : public LightSink {
 public:
  explicit FakeLight(const Clock& clock, std::shared_ptr<LightSink> through = nullptr)
      : clock_(clock), through_(std::move(through)) {}
  std::vector<std::optional<Error>> send(const dmx::LightRequest& request) override {
    {
      std::lock_guard lock(mutex_);
      const dmx::DmxRequest& first = request.outputs.front();
      log_.push_back({first, first.pulseAnchor, clock_.monotonicNs(), request.outputs});
    }
    return through_ ? through_->send(request) : std::vector<std::optional<Error>>(request.outputs.size());
  }
  void blackout() override {
    {
      std::lock_guard lock(mutex_);
      ++blackouts_;
      log_.push_back({dmx::DmxRequest{}, std::nullopt, -1, {}});  // a marker in the order of things
    }
    if (through_) through_->blackout();
  }
  std::vector<SentLight> log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  int blackouts() const {
    std::lock_guard lock(mutex_);
    return blackouts_;
  }
  std::optional<SentLight> last() const {
    std::lock_guard lock(mutex_);
    for (auto it = log_.rbegin(); it != log_.rend(); ++it) {
      if (it->sentNs >= 0) return *it;
    }
    return std::nullopt;
  }

 private:
  const Clock& clock_;
  std::shared_ptr<LightSink> through_;
  mutable std::mutex mutex_;
  std::vector<SentLight> log_;
  int blackouts_ = 0;
};

// Three phases of 30 s: red at 10 Hz; blue with the beat gliding 10 -> 6 and the light at
// 12 Hz of its own (a 9 s glide in from red); green at 6 Hz.
Session testSession() {
  Json raw = {{"id", "proef"},
              {"title", "Proef"},
              {"audioMode", "binaural"},
              {"phases",
               {{{"name", "Rood"}, {"start", "00:00"}, {"end", "00:30"}, {"audioFrequencyHz", "10"}, {"colorHex", "#ff0000"},
                 {"rgbIntensity", 100}, {"whiteIntensity", 0}, {"noiseVolume", 0}},
                {{"name", "Blauw"}, {"start", "00:30"}, {"end", "01:00"}, {"audioFrequencyHz", "10 → 6"},
                 {"lightFrequencyHz", "12"}, {"colorHex", "#0000ff"}},
                {{"name", "Groen"}, {"start", "01:00"}, {"end", "01:30"}, {"audioFrequencyHz", "6"}, {"colorHex", "#00ff00"}}}}};
  return *checkSession(raw).session;
}

StartRequest request(bool accepted, bool soundOnly = false) {
  ProgramSettings s;
  s.light.targetIp = "127.0.0.1";
  s.photosensitivityAccepted = accepted;
  return StartRequest{testSession(), s, soundOnly, {}};
}

class PlayerOnFakeClock : public ::testing::Test {
 protected:
  PlayerOnFakeClock() {
    SessionPlayer::Options options;
    options.clock = &clock;
    options.timer = false;
    options.light = light;
    player = std::make_unique<SessionPlayer>(options);
  }

  // Moves time on in ticks of 20 ms, as the player's timer would.
  void advance(double seconds) {
    for (double done = 0; done < seconds - 1e-9; done += 0.02) {
      clock.advanceMs(std::min(20.0, (seconds - done) * 1000));
      player->tick();
    }
  }

  FakeClock clock;
  std::shared_ptr<FakeLight> light = std::make_shared<FakeLight>(clock);
  std::unique_ptr<SessionPlayer> player;
};

double wrap(double x) { return x - std::floor(x + 0.5); }

// Each anchor continues the last one: the position it gives is where the last one's rate led.
void expectContinuousPulse(const std::vector<SentLight>& sent, const char* what) {
  const SentLight* previous = nullptr;
  int checked = 0;
  for (const SentLight& s : sent) {
    if (!s.anchor) {
      previous = nullptr;
      continue;
    }
    if (previous != nullptr) {
      const double dt = static_cast<double>(s.anchor->atNs - previous->anchor->atNs) / 1e9;
      const double predicted = previous->anchor->position + *previous->request.pulseHz * dt;
      // A glide changes the rate a little between two anchors; a jump would be far more.
      EXPECT_LT(std::fabs(wrap(s.anchor->position - predicted)), 0.01)
          << what << ": the light's phase jumped at " << s.sentNs / 1e9 << " s";
      ++checked;
    }
    previous = &s;
  }
  EXPECT_GT(checked, 10) << what;
}

TEST_F(PlayerOnFakeClock, ConsentBlackoutOverAPhaseChange) {
  // Without the accepted warning a light session is refused; as sound only it plays, dark.
  std::optional<Error> refused = player->start(request(false));
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->message, "Accepteer eerst de waarschuwing op het bedieningsscherm.");
  EXPECT_EQ(player->status().state, PlayerState::idle);
  StartRequest tooFast = request(true);
  tooFast.session.phases[1].audioFrequencyHz = "10 → 45";
  refused = player->start(tooFast);
  ASSERT_TRUE(refused.has_value());
  EXPECT_EQ(refused->message, "Fase 2 vraagt een toon van 45 Hz; de toongenerator speelt 0.1 tot 40 Hz. "
                              "De sessie start niet: pas haar aan in de editor.");
  ASSERT_FALSE(player->start(request(false, true)).has_value());
  advance(12);
  EXPECT_EQ(player->status().state, PlayerState::running);
  EXPECT_TRUE(player->status().soundOnly);
  EXPECT_FALSE(player->status().light);
  for (const SentLight& s : light->log()) EXPECT_FALSE(s.lit()) << "light without consent";
  ASSERT_TRUE(player->stop());

  // With it: lit, pulsing at 10 Hz, the phase carried from anchor to anchor.
  ASSERT_FALSE(player->start(request(true)).has_value());
  EXPECT_FALSE(player->start(request(true)).value().message.empty()) << "one run at a time";
  advance(25);
  std::optional<SentLight> last = light->last();
  ASSERT_TRUE(last && last->lit());
  EXPECT_EQ(last->request.dmx, (std::vector<std::uint8_t>{255, 0, 0})) << "red at full intensity, faded in";
  EXPECT_EQ(last->request.pulseHz, 10.0);
  EXPECT_EQ(last->request.pulseShape, "sine");
  EXPECT_EQ(last->request.clientId, "session");
  EXPECT_EQ(last->request.targetIp, "127.0.0.1");
  ASSERT_TRUE(last->anchor.has_value());
  expectContinuousPulse(light->log(), "phase 1");

  // Blackout reaches the lamps in the call itself, and holds across the change to phase 2.
  const int before = light->blackouts();
  const std::size_t sentBefore = light->log().size();
  player->setBlackout(true);
  EXPECT_GT(light->blackouts(), before) << "the blackout waited for a tick";
  advance(15);  // to 40 s: phase 2, its glide in done
  const auto log = light->log();
  for (std::size_t i = sentBefore; i < log.size(); ++i) EXPECT_FALSE(log[i].lit()) << "lit during blackout";
  PlayerStatus status = player->status();
  EXPECT_TRUE(status.blackout);
  EXPECT_EQ(status.phaseIndex, 1);
  EXPECT_EQ(status.phaseName, "Blauw");

  player->setBlackout(false);
  advance(0.1);
  last = light->last();
  ASSERT_TRUE(last && last->lit());
  EXPECT_EQ(last->request.dmx, (std::vector<std::uint8_t>{0, 0, 255})) << "blue, the intensity carried over from phase 1";
  EXPECT_EQ(last->request.pulseHz, 12.0) << "phase 2's light runs at its own rate";
  const OrderedJson record = player->record();
  std::vector<std::string> kinds;
  for (const auto& e : record["events"]) kinds.push_back(e["kind"].get<std::string>() + "@" + e["atS"].dump());
  EXPECT_EQ(kinds, (std::vector<std::string>{"blackoutOn@25", "blackoutOff@40"}));

  // Blackout also holds from one run into idle; a new run starts with it lifted.
  player->setBlackout(true);
  ASSERT_TRUE(player->stop());
  EXPECT_TRUE(player->blackout());
  ASSERT_FALSE(player->start(request(true)).has_value());
  EXPECT_FALSE(player->blackout());
  advance(10);
  EXPECT_TRUE(light->last()->lit());
}

TEST_F(PlayerOnFakeClock, PauseSeekIntoAGlideStopAndEnd) {
  std::vector<PlayerStatus> heard;
  std::mutex heardMutex;
  player->subscribe([&](const PlayerStatus& s) {
    std::lock_guard lock(heardMutex);
    heard.push_back(s);
  });
  const Timeline timeline = buildTimeline(testSession());
  ASSERT_FALSE(player->start(request(true)).has_value());
  advance(10);
  EXPECT_NEAR(player->status().elapsedS, 10, 0.03);
  player->headbandEvents(OrderedJson::parse(R"([{"type":"bands","bands":{"delta":0.1,"theta":0.2,"alpha":0.4,"beta":0.2,"gamma":0.1}},
                                                {"type":"status","status":"streaming"}])"));

  // Paused: time holds, the colour stays as steady light.
  ASSERT_TRUE(player->pause());
  EXPECT_FALSE(player->pause());
  advance(20);
  PlayerStatus status = player->status();
  EXPECT_EQ(status.state, PlayerState::paused);
  EXPECT_NEAR(status.elapsedS, 10, 0.03);
  std::optional<SentLight> last = light->last();
  ASSERT_TRUE(last && last->lit());
  EXPECT_FALSE(last->request.pulseHz.has_value()) << "a paused session does not flash";
  EXPECT_FALSE(last->anchor.has_value());

  // A seek while paused stays paused, there: 33 s is a third into the glide to phase 2.
  ASSERT_TRUE(player->seek(33));
  advance(1);
  status = player->status();
  EXPECT_EQ(status.state, PlayerState::paused);
  EXPECT_DOUBLE_EQ(status.elapsedS, 33);
  EXPECT_DOUBLE_EQ(status.values.beatHz, sampleTimeline(timeline, 33).values.beatHz);
  EXPECT_TRUE(status.gliding);

  // Resumed inside the glide, the light's rate follows the glide and its phase runs on.
  const std::size_t resumedAt = light->log().size();
  ASSERT_TRUE(player->resume());
  advance(6);
  status = player->status();
  EXPECT_NEAR(status.elapsedS, 39, 0.03);
  EXPECT_NEAR(status.values.lightHz, sampleTimeline(timeline, 39).values.lightHz, 0.01);
  const auto logAfterResume = light->log();
  const auto afterResume = std::vector<SentLight>(logAfterResume.begin() + static_cast<long>(resumedAt), logAfterResume.end());
  expectContinuousPulse(afterResume, "resumed in a glide");
  for (const SentLight& s : afterResume) {
    ASSERT_TRUE(s.request.pulseHz.has_value());
    EXPECT_GT(*s.request.pulseHz, 10.0 - 1e-9);
    EXPECT_LT(*s.request.pulseHz, 12.0 + 1e-9);
  }
  // A seek while running does not jump the light's phase either.
  const std::size_t seekAt = light->log().size() - 1;
  ASSERT_TRUE(player->seek(62));
  advance(2);
  const auto logAroundSeek = light->log();
  const auto aroundSeek = std::vector<SentLight>(logAroundSeek.begin() + static_cast<long>(seekAt), logAroundSeek.end());
  expectContinuousPulse(aroundSeek, "a seek while running");

  // Stop: dark, idle, recorded as stopped where it stood.
  const int blackoutsBefore = light->blackouts();
  ASSERT_TRUE(player->stop());
  EXPECT_FALSE(player->stop());
  EXPECT_GT(light->blackouts(), blackoutsBefore);
  EXPECT_EQ(player->status().state, PlayerState::idle);
  OrderedJson record = player->record();
  EXPECT_EQ(record["outcome"], "stopped");
  EXPECT_NEAR(record["elapsedS"].get<double>(), 64, 0.05);
  EXPECT_FALSE(record["endedAt"].is_null());
  std::vector<std::string> kinds;
  for (const auto& e : record["events"]) kinds.push_back(e["kind"].get<std::string>() + "@" + e["atS"].dump());
  EXPECT_EQ(kinds, (std::vector<std::string>{"pause@10", "seek@33", "resume@33", "seek@62"}));
  EXPECT_EQ(record["phases"][1]["reachedAtS"], 33);
  EXPECT_EQ(record["phases"][2]["reachedAtS"], 62);
  ASSERT_EQ(record["headband"]["phases"].size(), 1u);
  EXPECT_EQ(record["headband"]["phases"][0]["phase"], 0);
  EXPECT_DOUBLE_EQ(record["headband"]["phases"][0]["bands"]["alpha"].get<double>(), 0.4);
  EXPECT_EQ(record["headband"]["statuses"], OrderedJson::array({"streaming"}));

  // A run left alone ends by itself, dark, as "finished", with every phase reached.
  ASSERT_FALSE(player->start(request(true)).has_value());
  const int blackoutsAtStart = light->blackouts();
  advance(89.9);
  EXPECT_EQ(player->status().state, PlayerState::running);
  advance(0.3);
  status = player->status();
  EXPECT_EQ(status.state, PlayerState::finished);
  EXPECT_EQ(status.elapsedS, 90);
  EXPECT_GT(light->blackouts(), blackoutsAtStart);
  const std::size_t sentAtEnd = light->log().size();
  advance(5);
  EXPECT_EQ(light->log().size(), sentAtEnd) << "nothing after the end";
  record = player->record();
  EXPECT_EQ(record["outcome"], "finished");
  EXPECT_EQ(record["elapsedS"], 90);
  for (const auto& phase : record["phases"]) EXPECT_FALSE(phase["reachedAtS"].is_null());
  EXPECT_EQ(record["context"]["outputMode"], "artnet");
  EXPECT_EQ(record["log"].back()["t"], 90);
  ASSERT_TRUE(player->stop()) << "a finished run is dismissed";
  EXPECT_EQ(player->status().state, PlayerState::idle);

  std::lock_guard lock(heardMutex);
  std::vector<std::string> states;
  for (const PlayerStatus& s : heard) {
    if (states.empty() || states.back() != playerStateWord(s.state)) states.emplace_back(playerStateWord(s.state));
  }
  EXPECT_EQ(states, (std::vector<std::string>{"running", "paused", "running", "idle", "running", "finished", "idle"}));
  for (std::size_t i = 1; i < heard.size(); ++i) EXPECT_GT(heard[i].revision, heard[i - 1].revision);
}

// A device the test pulls itself, on the fake clock: each pull is a callback at the clock's
// time, with a latency, and the clock then moves on by the frames pulled.
class PulledBackend final : public AudioOutputBackend {
 public:
  explicit PulledBackend(FakeClock& clock) : clock_(clock) {}
  class Stream final : public AudioOutputStream {
   public:
    bool isRunning() const override { return true; }
    void close() override {}
    AudioStreamInfo info() const override { return {"", "pulled", 512, 0.03}; }
  };
  std::unique_ptr<AudioOutputStream> start(const AudioStreamFormat&, std::shared_ptr<AudioRenderSource> source) override {
    std::lock_guard lock(mutex_);
    source_ = std::move(source);
    return std::make_unique<Stream>();
  }
  // Returns the left channel of the pulled frames.
  std::vector<float> pull(std::size_t frames) {
    std::shared_ptr<AudioRenderSource> source;
    {
      std::lock_guard lock(mutex_);
      source = source_;
    }
    std::vector<float> block(2 * frames);
    const AudioBuffer buffer{block.data(), 2};
    source->renderTimed(frames, AudioBufferList(&buffer, 1), AudioBlockTiming{clock_.monotonicNs(), kLatencyNs, true});
    clock_.advanceMs(static_cast<double>(frames) * 1000.0 / kToneSampleRate);
    std::vector<float> left(frames);
    for (std::size_t i = 0; i < frames; ++i) left[i] = block[2 * i];
    return left;
  }
  static constexpr std::int64_t kLatencyNs = 30'000'000;

 private:
  FakeClock& clock_;
  std::mutex mutex_;
  std::shared_ptr<AudioRenderSource> source_;
};

// The light's pulse is anchored where the sound's pulse is heard: with an isochronic square
// beat, each burst of tone starts where the light's waveform starts its cycle, to within a few
// samples, the device's and the extra latency included.
TEST(PlayerWithSound, LightPulsesWhereTheSoundsPulseIsHeard) {
  FakeClock clock;
  auto light = std::make_shared<FakeLight>(clock);
  auto backend = std::make_shared<PulledBackend>(clock);
  SessionPlayer::Options options;
  options.clock = &clock;
  options.timer = false;
  options.light = light;
  options.audio = backend;
  options.audioOptions.checkInterval = std::chrono::milliseconds(0);
  SessionPlayer player(options);
  Json raw = {{"title", "Gelijk"},
              {"audioMode", "isochronic"},
              {"phases", {{{"start", "00:00"}, {"end", "00:20"}, {"audioFrequencyHz", "10"}, {"colorHex", "#ffffff"},
                           {"noiseVolume", 0}, {"musicVolume", 0}, {"pulseShape", "square"}}}}};
  StartRequest start{*checkSession(raw).session, {}, false, {}};
  start.settings.light.targetIp = "127.0.0.1";
  start.settings.photosensitivityAccepted = true;
  start.settings.audio.pulseShape = "square";
  start.settings.audio.latencyMs = 25;
  const std::int64_t startNs = clock.monotonicNs();
  ASSERT_FALSE(player.start(start).has_value());

  std::vector<float> sound;
  for (int k = 0; sound.size() < 8 * 44100; ++k) {
    const auto block = backend->pull(512);
    sound.insert(sound.end(), block.begin(), block.end());
    if (k % 2 == 0) player.tick();
  }
  EXPECT_TRUE(player.status().sound);
  const auto sent = light->log();
  std::vector<SentLight> anchored;
  for (const SentLight& s : sent) {
    if (s.anchor && s.sentNs > startNs + 3'000'000'000) anchored.push_back(s);
  }
  ASSERT_GT(anchored.size(), 3u);
  EXPECT_EQ(anchored.back().request.pulseShape, "square");
  float peak = 0;
  for (float v : sound) peak = std::max(peak, std::fabs(v));
  const float silent = peak * 1e-4f;
  int onsets = 0;
  std::size_t quiet = 0;
  for (std::size_t n = 0; n < sound.size(); ++n) {
    const bool on = std::fabs(sound[n]) > silent;
    if (on && quiet > 500 && static_cast<double>(n) / 44100 > 4) {
      // When this frame is heard, and where the light's waveform stands then.
      const double heardNs = static_cast<double>(startNs) + static_cast<double>(n) * 1e9 / 44100 + 30e6 + 25e6;
      const SentLight* anchor = &anchored.front();
      for (const SentLight& a : anchored) {
        if (static_cast<double>(a.sentNs) <= heardNs) anchor = &a;
      }
      const double position = anchor->anchor->position + *anchor->request.pulseHz * (heardNs - static_cast<double>(anchor->anchor->atNs)) / 1e9;
      // Four frames of the carrier's zero crossing at 10 Hz are under 0.001 of a cycle.
      EXPECT_LT(std::fabs(wrap(position)), 0.002) << "burst at frame " << n << " is " << wrap(position) * 100 << " ms off the light";
      ++onsets;
    }
    quiet = on ? 0 : quiet + 1;
  }
  EXPECT_GE(onsets, 30) << "bursts of the isochronic beat found";

  // The device goes on pulling at its steady pace, each block heard a latency after it is
  // asked for (so the latest block is always still ahead of the ear): the run ends when the
  // session's last frame is heard, not when the device happens to be late.
  const double endHeardNs = static_cast<double>(startNs) + 20e9 + 30e6 + 25e6;
  std::optional<double> finishedNs;
  for (int k = 0; k < 4000 && !finishedNs; ++k) {
    backend->pull(512);
    if (k % 2 == 0) {
      player.tick();
      if (player.status().state == PlayerState::finished) finishedNs = static_cast<double>(clock.monotonicNs());
    }
  }
  ASSERT_TRUE(finishedNs.has_value()) << "the session never ended while its device kept pulling";
  EXPECT_GE(*finishedNs, endHeardNs - 6e6) << "ended before its end was heard";
  EXPECT_LE(*finishedNs, endHeardNs + 50e6) << "ended late: " << (*finishedNs - endHeardNs) / 1e6 << " ms after it was heard";
  EXPECT_EQ(player.record()["outcome"], "finished");
  ASSERT_TRUE(player.stop());
}

// The data of an ArtDmx packet (after its 18-byte header), or nothing for another packet.
std::optional<std::vector<std::uint8_t>> artDmxData(const dmx::test::Bytes& packet) {
  if (packet.size() < 18 || std::string(packet.begin(), packet.begin() + 8) != std::string("Art-Net\0", 8) ||
      packet[8] != 0x00 || packet[9] != 0x50) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(packet.begin() + 18, packet.end());
}

using Frame = std::vector<std::uint8_t>;
bool dark(const Frame& d) { return std::all_of(d.begin(), d.end(), [](std::uint8_t v) { return v == 0; }); }

// Waits for the node's next ArtDmx frame that satisfies `want`, each frame before it handed to
// `before`; false when none comes. Every frame must carry `universe` (when given).
bool frameWhere(dmx::test::ArtNetReceiver& node, const std::function<bool(const Frame&)>& want,
                const std::function<void(const Frame&)>& before = {}, std::optional<int> universe = std::nullopt) {
  for (int i = 0; i < 5000; ++i) {
    std::optional<dmx::test::Bytes> packet = node.receive();
    if (!packet) return false;
    std::optional<Frame> data = artDmxData(*packet);
    if (!data) continue;
    // SubUni and Net: the universe's low and high bytes.
    if (universe) {
      EXPECT_EQ((*packet)[14] | ((*packet)[15] << 8), *universe) << "a frame on another universe";
    }
    if (want(*data)) return true;
    if (before) before(*data);
  }
  return false;
}

// Every ArtDmx frame the node has now is dark.
void expectAllDark(dmx::test::ArtNetReceiver& node, const char* what) {
  for (const auto& packet : node.drain()) {
    if (auto data = artDmxData(packet)) {
      EXPECT_TRUE(dark(*data)) << what;
    }
  }
}

// The player through the program's own light router to an Art-Net node on loopback, on the
// real clock: the session's colours arrive, a blackout darkens and holds, and the run ends
// dark by itself.
TEST(PlayerWithLamps, ArtNetFramesFollowTheSessionAndEndDark) {
  dmx::test::ArtNetReceiver node;
  auto router = std::make_shared<dmx::LightRouter>(std::make_shared<dmx::DmxOutputs>());
  SessionPlayer::Options options;
  options.light = routerLightSink(router);
  SessionPlayer player(options);
  std::mutex mutex;
  std::condition_variable changed;
  PlayerStatus latest;
  player.subscribe([&](const PlayerStatus& s) {
    std::lock_guard lock(mutex);
    latest = s;
    changed.notify_all();
  });
  auto waitFor = [&](const std::function<bool(const PlayerStatus&)>& done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(20), [&] { return done(latest); });
  };
  Json raw = {{"title", "Lampen"},
              {"phases", {{{"start", "00:00"}, {"end", "00:03"}, {"audioFrequencyHz", "10"}, {"lightFrequencyHz", "0"},
                           {"colorHex", "#ff0000"}, {"rgbIntensity", 100}},
                          {{"start", "00:03"}, {"end", "00:06"}, {"audioFrequencyHz", "10"}, {"lightFrequencyHz", "0"},
                           {"colorHex", "#0000ff"}}}}};
  StartRequest start{*checkSession(raw).session, {}, false, {}};
  start.settings.light.targetIp = node.address();
  start.settings.photosensitivityAccepted = true;
  ASSERT_FALSE(player.start(start).has_value());
  EXPECT_TRUE(frameWhere(node, [](const auto& d) { return d.size() >= 3 && d[0] > 200 && d[1] == 0 && d[2] == 0; }))
      << "red reached the node";

  player.setBlackout(true);
  ASSERT_TRUE(frameWhere(node, dark)) << "the blackout reached the node";
  ASSERT_TRUE(waitFor([](const PlayerStatus& s) { return s.phaseIndex == 1; }));
  expectAllDark(node, "lit while blacked out, in phase 2");
  player.setBlackout(false);
  EXPECT_TRUE(frameWhere(node, [](const auto& d) { return d.size() >= 3 && d[0] == 0 && d[2] > 100; })) << "blue after the blackout";

  ASSERT_TRUE(waitFor([](const PlayerStatus& s) { return s.state == PlayerState::finished; }));
  EXPECT_TRUE(frameWhere(node, dark)) << "dark at the end";
  expectAllDark(node, "lit after the end");
  EXPECT_EQ(player.record()["outcome"], "finished");
}

// The chosen output and the extra ones of the settings, real Art-Net nodes on loopback: each
// output its own address and universe, all in one request with one look and one pulse anchor;
// a change of the outputs applies at once (the one left out goes dark), and blackout and the
// end darken them all.
TEST(PlayerWithLamps, EveryOutputOfTheSettingsShowsTheOneLight) {
  FakeClock clock;
  dmx::test::ArtNetReceiver chosen, extra, added;
  auto router = std::make_shared<dmx::LightRouter>(std::make_shared<dmx::DmxOutputs>());
  auto light = std::make_shared<FakeLight>(clock, routerLightSink(router));
  SessionPlayer::Options options;
  options.clock = &clock;
  options.timer = false;
  options.light = light;
  SessionPlayer player(options);
  auto advance = [&](double seconds) {
    for (double done = 0; done < seconds - 1e-9; done += 0.02) {
      clock.advanceMs(20);
      player.tick();
    }
  };
  // A dimmer channel first that pulses, then steady red, green and blue: only a blackout gives
  // an all-dark frame, not the bottom of a pulse.
  auto red = [](const Frame& d) { return d.size() >= 4 && d[1] > 100 && d[2] == 0 && d[3] == 0; };
  auto lit = [](const Frame& d) { return !dark(d); };
  // Every request since `from` names these outputs, in order, with one look, rate and anchor.
  auto expectOneLight = [&](std::size_t from, const std::vector<std::pair<std::string, int>>& outputs, const char* what) {
    const auto log = light->log();
    int checked = 0;
    for (std::size_t i = from; i < log.size(); ++i) {
      if (log[i].sentNs < 0 || !log[i].lit()) continue;
      const auto& parts = log[i].parts;
      ASSERT_EQ(parts.size(), outputs.size()) << what << ": a request without every output";
      for (std::size_t k = 0; k < parts.size(); ++k) {
        EXPECT_EQ(parts[k].targetIp, outputs[k].first) << what << ", output " << k + 1;
        EXPECT_EQ(parts[k].universe, outputs[k].second) << what << ", output " << k + 1;
        EXPECT_EQ(parts[k].dmx, parts[0].dmx) << what << ": another look on output " << k + 1;
        EXPECT_EQ(parts[k].pulseHz, parts[0].pulseHz) << what << ": another rate on output " << k + 1;
        EXPECT_EQ(parts[k].pulseAnchor, parts[0].pulseAnchor) << what << ": another phase on output " << k + 1;
        EXPECT_EQ(parts[k].sequence, parts[0].sequence) << what;
      }
      ++checked;
    }
    EXPECT_GT(checked, 0) << what << ": nothing lit";
  };

  // The extra outputs: a node of its own, the chosen node again (once is enough) and one
  // without an address yet (not sent to).
  StartRequest start = request(true);
  start.settings.light.targetIp = chosen.address();
  start.settings.light.universe = 1;
  start.settings.light.channelLayout = "drgb";
  start.settings.light.extraOutputs = {{"artnet", extra.address(), 3, ""}, {"artnet", chosen.address(), 1, ""}, {"artnet", "", 5, ""}};
  ASSERT_FALSE(player.start(start).has_value());
  advance(10);
  EXPECT_TRUE(player.status().light);
  EXPECT_TRUE(frameWhere(chosen, red, {}, 1)) << "red at the chosen output";
  EXPECT_TRUE(frameWhere(extra, red, {}, 3)) << "red at the extra output";
  const auto first = light->last();
  ASSERT_TRUE(first && first->request.pulseHz && first->anchor) << "phase 1 pulses at 10 Hz";
  expectOneLight(0, {{chosen.address(), 1}, {extra.address(), 3}}, "two outputs");

  // Settings changed mid-session: the extra output gives way to another, at once.
  ProgramSettings changed = start.settings;
  changed.light.extraOutputs = {{"artnet", added.address(), 7, ""}};
  const std::size_t changedAt = light->log().size();
  player.updateSettings(changed);
  EXPECT_TRUE(frameWhere(extra, dark, {}, 3)) << "the output left out went dark";
  EXPECT_TRUE(frameWhere(added, red, {}, 7)) << "the output added lit without a tick";
  advance(2);
  expectAllDark(extra, "the output left out lit again");
  expectOneLight(changedAt, {{chosen.address(), 1}, {added.address(), 7}}, "after the change");

  // Blackout darkens every output and holds; lifted, they light together again.
  player.setBlackout(true);
  EXPECT_TRUE(frameWhere(chosen, dark)) << "blackout at the chosen output";
  EXPECT_TRUE(frameWhere(added, dark)) << "blackout at the added output";
  advance(3);
  expectAllDark(chosen, "lit during blackout");
  expectAllDark(added, "lit during blackout");
  player.setBlackout(false);
  advance(0.1);
  EXPECT_TRUE(frameWhere(chosen, lit)) << "the chosen output after the blackout";
  EXPECT_TRUE(frameWhere(added, lit)) << "the added output after the blackout";

  // The end darkens them all.
  advance(80);
  ASSERT_EQ(player.status().state, PlayerState::finished);
  EXPECT_TRUE(frameWhere(chosen, dark)) << "the chosen output dark at the end";
  EXPECT_TRUE(frameWhere(added, dark)) << "the added output dark at the end";
  expectAllDark(chosen, "lit after the end");
  expectAllDark(added, "lit after the end");
  expectAllDark(extra, "the output left out lit after the end");
}

}  // namespace
}  // namespace player_test
}  // namespace solvera::session
