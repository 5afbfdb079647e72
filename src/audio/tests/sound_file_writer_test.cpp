// Sound files: each format reads back whole under its own name, and a file that cannot be
// written (unknown extension, missing folder, a rate the format cannot hold, a full disk)
// leaves nothing behind, neither under its name nor as a hidden part.
#include <gtest/gtest.h>
#include <sched.h>
#include <sndfile.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <vector>

#include "audio/sound_file_writer.hpp"

namespace solvera {
// This file's own names: the test programs compile their files together in batches.
namespace sound_file_writer_test {
namespace {

namespace fs = std::filesystem;

class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/solvera-soundfile-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~ScratchFolder() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(path_)) out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  fs::path path_;
};

// A tone, or white noise (which no encoder makes small).
std::optional<Error> writeSeconds(SoundFileWriter& writer, double seconds, int rate, bool noise = false) {
  std::vector<float> block(2 * 4096);
  std::uint32_t state = 1;
  const auto total = static_cast<std::size_t>(std::llround(seconds * rate));
  for (std::size_t done = 0; done < total;) {
    const std::size_t n = std::min<std::size_t>(4096, total - done);
    for (std::size_t i = 0; i < n; ++i) {
      const auto v = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(done + i) / rate));
      state = state * 1664525u + 1013904223u;
      block[2 * i] = noise ? static_cast<float>(state >> 8) / 16777216.0f - 0.5f : v;
      state = state * 1664525u + 1013904223u;
      block[2 * i + 1] = noise ? static_cast<float>(state >> 8) / 16777216.0f - 0.5f : v;
    }
    if (auto error = writer.write(block.data(), n)) return error;
    done += n;
  }
  return std::nullopt;
}

TEST(SoundFileWriter, EveryFormatReadsBackWholeUnderItsName) {
  ScratchFolder folder;
  struct Case {
    const char* name;
    int bits;
    int asked;
    int rate;
    int major;
  };
  // Opus is written at 48 kHz whatever is asked.
  const Case cases[] = {{"a.wav", 16, 44100, 44100, SF_FORMAT_WAV},  {"b.WAV", 24, 48000, 48000, SF_FORMAT_WAV},
                        {"c.flac", 24, 44100, 44100, SF_FORMAT_FLAC}, {"d.ogg", 16, 44100, 44100, SF_FORMAT_OGG},
                        {"e.opus", 16, 44100, 48000, SF_FORMAT_OGG},  {"f.mp3", 16, 44100, 44100, SF_FORMAT_MPEG}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SoundFileWriter writer;
    ASSERT_FALSE(writer.open(folder.path() / c.name, {SoundFileFormat::wav, c.asked, c.bits}));
    EXPECT_EQ(writer.spec().sampleRate, c.rate);
    ASSERT_FALSE(writeSeconds(writer, 2.5, c.rate));
    EXPECT_FALSE(fs::exists(folder.path() / c.name)) << "no name before the file is whole";
    ASSERT_FALSE(writer.finish());
    SF_INFO info{};
    SNDFILE* file = sf_open((folder.path() / c.name).c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    sf_close(file);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, c.major);
    EXPECT_EQ(info.samplerate, c.rate);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.frames, static_cast<sf_count_t>(2.5 * c.rate)) << "exact, encoder padding left out";
    if (c.major == SF_FORMAT_WAV || c.major == SF_FORMAT_FLAC) {
      EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, c.bits == 24 ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16);
    }
  }
  EXPECT_EQ(folder.names(), (std::vector<std::string>{"a.wav", "b.WAV", "c.flac", "d.ogg", "e.opus", "f.mp3"}))
      << "no hidden parts are left";
}

TEST(SoundFileWriter, FlacHoldsWhatLibsndfileWroteAndPassesItsOwnCheck) {
  // The conversion on literal values: full scale, beyond it, ties, a value that is no number;
  // five frames, so that both the four-at-a-time loop and the one after it are used.
  const float in[] = {0.0f, 1.0f, -1.0f, 1.5f, -2.0f, 0.5f / 32768, 1.5f / 32768, -0.5f / 32768, 0.25f, NAN};
  std::int32_t left[5], right[5];
  floatToPcmChannels(in, left, right, 5, 16);
  EXPECT_EQ(std::vector<std::int32_t>(std::begin(left), std::end(left)),
            (std::vector<std::int32_t>{0, -32768, -32768, 2, 8192}));
  EXPECT_EQ(std::vector<std::int32_t>(std::begin(right), std::end(right)),
            (std::vector<std::int32_t>{32767, 32767, 0, 0, 0}));
  const float nanFirst[] = {NAN, -NAN, 0.75f, -0.75f, 0.0f, 0.0f, 0.0f, 0.0f};
  floatToPcmChannels(nanFirst, left, right, 4, 24);
  EXPECT_EQ(left[0], 0);
  EXPECT_EQ(right[0], 0);
  EXPECT_EQ(left[1], 6291456);
  EXPECT_EQ(right[1], -6291456);
  floatToPcmChannels(in, left, right, 1, 24);
  EXPECT_EQ(right[0], 8388607);

  // A tone that clips now and then, over noise: our FLAC decodes to the very integers of the
  // FLAC libsndfile writes from the same samples (clipping on), frame for frame, at both depths.
  ScratchFolder folder;
  const std::size_t frames = 3 * 44100 + 17;  // not a whole number of FLAC blocks
  std::vector<float> samples(2 * frames);
  std::uint32_t state = 9;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const double tone = 1.2 * std::sin(2 * std::numbers::pi * 330 * static_cast<double>(i / 2) / 44100);
    samples[i] = static_cast<float>(tone + 0.1 * (static_cast<double>(state >> 8) / 16777216.0 - 0.5));
  }
  const auto decode = [](const fs::path& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<int> values(2 * static_cast<std::size_t>(file != nullptr ? info.frames : 0));
    if (file != nullptr) {
      if (sf_readf_int(file, values.data(), info.frames) != info.frames) values.clear();
      sf_close(file);
    }
    return values;
  };
  for (int bits : {16, 24}) {
    SCOPED_TRACE(bits);
    const fs::path ours = folder.path() / (std::to_string(bits) + "ours.flac");
    SoundFileWriter writer;
    ASSERT_FALSE(writer.open(ours, {SoundFileFormat::wav, 44100, bits, frames}));
    for (std::size_t done = 0; done < frames; done += 5000) {
      ASSERT_FALSE(writer.write(samples.data() + 2 * done, std::min<std::size_t>(5000, frames - done)));
    }
    ASSERT_FALSE(writer.finish());

    const fs::path theirs = folder.path() / (std::to_string(bits) + "theirs.flac");
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_FLAC | (bits == 24 ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16);
    SNDFILE* file = sf_open(theirs.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    EXPECT_EQ(sf_writef_float(file, samples.data(), static_cast<sf_count_t>(frames)), static_cast<sf_count_t>(frames));
    sf_close(file);

    const std::vector<int> expected = decode(theirs);
    const std::vector<int> decoded = decode(ours);
    ASSERT_EQ(decoded.size(), 2 * frames) << "every frame, no padding";
    EXPECT_TRUE(decoded == expected) << "the samples differ from libsndfile's";
    // flac checks every frame's checksum and the whole stream's against its header.
    const std::string check = "flac -t -s '" + ours.string() + "' 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << check;
  }
}

TEST(SoundFileWriter, RefusalsLeaveNothingBehind) {
  ScratchFolder folder;
  fs::create_directory(folder.path() / "sub.wav");
  struct Case {
    fs::path output;
    SoundFileSpec spec;
    int code;
    const char* words;
  };
  const Case cases[] = {
      {folder.path() / "x.aiff", {}, 400, "Onbekend formaat '.aiff'"},
      {folder.path() / "x", {}, 400, "geen extensie"},
      {folder.path() / "missing" / "x.wav", {}, 404, "bestaat niet"},
      {folder.path() / "sub.wav", {}, 400, "een map"},
      {folder.path() / "x.mp3", {SoundFileFormat::mp3, 96000, 16}, 400, "MP3-bestand kan niet met 96000 Hz"},
      {folder.path() / "x.wav", {SoundFileFormat::wav, 44100, 20}, 400, "16 of 24"},
  };
  for (const Case& c : cases) {
    SoundFileWriter writer;
    const auto error = writer.open(c.output, c.spec);
    ASSERT_TRUE(error) << c.output;
    EXPECT_EQ(error->code, c.code) << error->message;
    EXPECT_NE(error->message.find(c.words), std::string::npos) << error->message;
  }
  // Opened, written and then dropped: nothing stays.
  {
    SoundFileWriter writer;
    ASSERT_FALSE(writer.open(folder.path() / "dropped.flac", {}));
    ASSERT_FALSE(writeSeconds(writer, 0.5, 44100));
  }
  EXPECT_EQ(folder.names(), std::vector<std::string>{"sub.wav"});
}

TEST(SoundFileWriter, AFullDiskIsSaidSoAndLeavesNoFile) {
  // A small file system of its own, in a mount namespace of a child process.
  ScratchFolder folder;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", folder.path().c_str(), "tmpfs", 0, "size=256k") != 0) {
      _exit(77);
    }
    for (const char* name : {"full.wav", "full.flac", "full.ogg", "full.opus", "full.mp3"}) {
      SoundFileWriter writer;
      if (writer.open(folder.path() / name, {})) _exit(1);
      std::optional<Error> error = writeSeconds(writer, 30, 44100, true);
      if (!error) error = writer.finish();
      if (!error || error->code != 507 || error->message.find("De schijf is vol") == std::string::npos) _exit(2);
      if (!fs::is_empty(folder.path())) _exit(3);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace here (needs root)";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: open failed, 2: no full-disk error, 3: something was left";
}

}  // namespace
}  // namespace sound_file_writer_test
}  // namespace solvera
