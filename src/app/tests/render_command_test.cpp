// The render command as a person runs it: the program itself, its exit status, its messages
// and the files it leaves.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

// This file's own names: the test programs compile their files together in batches.
namespace render_command_test {

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string output;  // standard output and error together
};

class RenderCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/solvera-render-cli-XXXXXX";
    dir_ = mkdtemp(pattern);
    fs::create_directories(dir_ / "config");
    fs::create_directories(dir_ / "data");
    fs::create_directories(dir_ / "out");
  }
  void TearDown() override { fs::remove_all(dir_); }

  Outcome run(const std::string& args) {
    const std::string command = "XDG_CONFIG_HOME='" + (dir_ / "config").string() + "' XDG_DATA_HOME='" +
                                (dir_ / "data").string() + "' '" SOLVERA_EXECUTABLE "' --resources '" +
                                std::string(SOLVERA_RENDER_SOURCE_DIR) + "' " + args + " 2>&1";
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

TEST_F(RenderCommand, ALibrarySessionAndAnImportedFileRenderAndFailuresLeaveNothing) {
  const fs::path out = dir_ / "out";
  // A library session's first half-minute, to FLAC at 24 bit.
  Outcome r = run("render ontspanning-avondrust '" + (out / "avond.flac").string() + "' --to 0:30 --bits 24");
  ASSERT_EQ(r.status, 0) << r.output;
  SF_INFO info{};
  SNDFILE* file = sf_open((out / "avond.flac").c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  sf_close(file);
  EXPECT_EQ(info.frames, 30 * 44100);
  EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_24);
  EXPECT_NE(r.output.find("Geschreven:"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find('\r'), std::string::npos) << "no progress bar when not on a terminal";

  // An SBaGen file, with its notices on the way.
  const fs::path sbg = dir_ / "refused.sbg";
  fs::copy_file(fs::path(SOLVERA_RENDER_SOURCE_DIR) / "src/session/formats/tests/corpus/refused.sbg", sbg);
  r = run("render '" + sbg.string() + "' '" + (out / "refused.opus").string() + "' --from 1:00 --to 2:00");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Let op: Regel 5: Draaiende ruis"), std::string::npos) << r.output;
  file = sf_open((out / "refused.opus").c_str(), SFM_READ, &info);
  ASSERT_NE(file, nullptr);
  sf_close(file);
  EXPECT_EQ(info.samplerate, 48000);
  EXPECT_EQ(info.frames, 60 * 48000);

  // Failures: a Dutch message, status 1, and no file.
  std::ofstream(dir_ / "broken.sbg") << "a: pink/10\nNOW b\n";
  struct Case {
    std::string args;
    const char* words;
  };
  const Case cases[] = {
      {"render '" + (dir_ / "broken.sbg").string() + "' '" + (out / "x.wav").string() + "'", "Regel 2: Onbekende toonset"},
      {"render geen-sessie '" + (out / "x.wav").string() + "'", "Onbekende sessie 'geen-sessie'"},
      {"render ontspanning-avondrust '" + (out / "x.aiff").string() + "'", "Onbekend formaat '.aiff'"},
      {"render ontspanning-avondrust '" + (dir_ / "missing" / "x.wav").string() + "'", "bestaat niet"},
  };
  for (const Case& c : cases) {
    r = run(c.args);
    EXPECT_EQ(r.status, 1) << c.args << "\n" << r.output;
    EXPECT_NE(r.output.find(c.words), std::string::npos) << r.output;
  }
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(out)) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"avond.flac", "refused.opus"}));
}

}  // namespace

}  // namespace render_command_test
