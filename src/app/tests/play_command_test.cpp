// solvera-pro --headless --play as a person runs it on a box with no page: the program itself
// (handed to the lean headless program), its progress lines, its sound on SDL's disk driver
// and its light at an Art-Net node on loopback, from the first phase to the dark end.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "dmx/tests/dmx_test_support.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace play_command_test {

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error together
};

// Two steady phases of 3 s: red, then blue.
const char* kShortSession = R"({"id":"kort","title":"Kort","phases":[
  {"name":"Rood","start":"00:00","end":"00:03","audioFrequencyHz":"10","lightFrequencyHz":"0","colorHex":"#ff0000","rgbIntensity":100,"whiteIntensity":0},
  {"name":"Blauw","start":"00:03","end":"00:06","audioFrequencyHz":"8","lightFrequencyHz":"0","colorHex":"#0000ff","rgbIntensity":100,"whiteIntensity":0}]})";

std::optional<std::vector<std::uint8_t>> artDmxData(const solvera::dmx::test::Bytes& packet) {
  if (packet.size() < 18 || std::string(packet.begin(), packet.begin() + 8) != std::string("Art-Net\0", 8) ||
      packet[9] != 0x50) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(packet.begin() + 18, packet.end());
}

class PlayCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/solvera-play-cli-XXXXXX";
    dir_ = mkdtemp(pattern);
    fs::create_directories(dir_ / "config");
    fs::create_directories(dir_ / "data");
    std::ofstream(dir_ / "kort.svpsession") << kShortSession;
  }
  void TearDown() override { fs::remove_all(dir_); }

  Outcome run(const std::string& args) {
    const std::string command = "XDG_CONFIG_HOME='" + (dir_ / "config").string() + "' XDG_DATA_HOME='" +
                                (dir_ / "data").string() + "' SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE='" +
                                (dir_ / "sound.raw").string() + "' '" SOLVERA_EXECUTABLE "' --resources '" +
                                std::string(SOLVERA_RENDER_SOURCE_DIR) + "' --headless " + args + " 2>&1";
    Outcome r;
    FILE* pipe = popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) r.output.append(buffer.data(), n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
  }
  fs::path dir_;
};

}  // namespace

TEST_F(PlayCommand, PlaysToTheEndOnLampsAndSoundAndEndsDark) {
  solvera::dmx::test::ArtNetReceiver node;
  const std::string session = (dir_ / "kort.svpsession").string();
  Outcome r = run("--play '" + session + "' --output artnet:" + node.address() + " --accept-photosensitivity-warning");
  ASSERT_EQ(r.status, 0) << r.output;
  for (const char* line : {"Licht: Art-Net naar", "Sessie: Kort", "Fase 1/2: Rood", "Fase 2/2: Blauw", "Sessie afgelopen."}) {
    EXPECT_NE(r.output.find(line), std::string::npos) << line << " in:\n" << r.output;
  }
  EXPECT_LT(r.output.find("Fase 1/2"), r.output.find("Fase 2/2"));

  // The node saw red, then blue, and dark last.
  std::vector<std::vector<std::uint8_t>> frames;
  for (const auto& packet : node.drain()) {
    if (auto data = artDmxData(packet)) frames.push_back(*data);
  }
  ASSERT_FALSE(frames.empty()) << "no light reached the node";
  auto first = [&](auto want) { return std::find_if(frames.begin(), frames.end(), want); };
  const auto red = first([](const auto& d) { return d.size() >= 3 && d[0] > 100 && d[1] == 0 && d[2] == 0; });
  const auto blue = first([](const auto& d) { return d.size() >= 3 && d[0] == 0 && d[1] == 0 && d[2] > 100; });
  EXPECT_NE(red, frames.end()) << "red in phase 1";
  EXPECT_NE(blue, frames.end()) << "blue in phase 2";
  EXPECT_LT(red, blue);
  EXPECT_TRUE(std::all_of(frames.back().begin(), frames.back().end(), [](std::uint8_t v) { return v == 0; }))
      << "the last frame is dark";

  // The sound went to the device: about the session's length of it, not silence.
  std::ifstream raw(dir_ / "sound.raw", std::ios::binary);
  std::vector<char> sound((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
  EXPECT_GT(sound.size(), 4u * 44100 * 2 * 2) << "at least 4 s of 16-bit stereo";
  EXPECT_TRUE(std::any_of(sound.begin(), sound.end(), [](char c) { return c != 0; })) << "not silence";
}

TEST_F(PlayCommand, WithoutTheWarningReadSoundOnlyAndUnknownSessionsFail) {
  solvera::dmx::test::ArtNetReceiver node;
  Outcome r = run("--play '" + (dir_ / "kort.svpsession").string() + "' --output artnet:" + node.address());
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("alleen geluid"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Sessie afgelopen."), std::string::npos) << r.output;
  for (const auto& packet : node.drain()) {
    if (auto data = artDmxData(packet)) {
      EXPECT_TRUE(std::all_of(data->begin(), data->end(), [](std::uint8_t v) { return v == 0; }))
          << "a lamp lit without the warning read";
    }
  }

  r = run("--play geen-sessie");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("Onbekende sessie 'geen-sessie'"), std::string::npos) << r.output;
  r = run("--play kort --output artnet:");
  EXPECT_EQ(r.status, 2) << "a malformed output is a usage error: " << r.output;
}

}  // namespace play_command_test
