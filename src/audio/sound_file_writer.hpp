// Sound files: the output's extension picks the format, the frames go to a hidden file beside
// it, and only a complete file takes the output's name. libsndfile writes WAV and the lossy
// formats; FLAC goes to libFLAC directly, whose settings libsndfile does not reach.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace solvera {

inline constexpr const char* kSoundFileErrorDomain = "SolveraSoundFile";

enum class SoundFileFormat { wav, flac, ogg, opus, mp3 };

struct SoundFileSpec {
  SoundFileFormat format = SoundFileFormat::wav;
  int sampleRate = 44100;  // Opus is always written at 48000
  int bits = 16;           // WAV and FLAC: 16 or 24; the lossy formats take floats
  std::uint64_t expectedFrames = 0;  // a WAV that would pass 4 GiB is written as RF64
};

// The format an output's extension names (".wav", ".flac", ".ogg", ".opus", ".mp3", any case).
std::optional<SoundFileFormat> soundFileFormatFor(const std::filesystem::path& output);
std::string_view soundFileFormatWord(SoundFileFormat format);
// The rate a format is written at when asked for `rate` (Opus: 48000).
int soundFileRate(SoundFileFormat format, int rate);

// Interleaved stereo in -1..1 as integers of `bits` (16 or 24), one buffer per channel:
// scaled by 2^(bits-1), rounded to the nearest (ties to even) and clipped to the integer
// range, as libsndfile's FLAC writer converts them; a value that is not a number becomes 0.
void floatToPcmChannels(const float* interleaved, std::int32_t* left, std::int32_t* right, std::size_t frames,
                        int bits);

class FlacFileEncoder;

class SoundFileWriter {
 public:
  SoundFileWriter();
  ~SoundFileWriter();  // abandons an unfinished file
  SoundFileWriter(const SoundFileWriter&) = delete;
  SoundFileWriter& operator=(const SoundFileWriter&) = delete;

  // Creates the hidden file beside `output`. Errors carry a Dutch message: an unknown
  // extension, a folder that is missing or cannot be written, a rate the format cannot hold.
  [[nodiscard]] std::optional<Error> open(const std::filesystem::path& output, SoundFileSpec spec);
  // Interleaved stereo in -1..1. An error (a full disk) abandons the file.
  [[nodiscard]] std::optional<Error> write(const float* interleaved, std::size_t frames);
  // Closes the file, flushes it to the disk, checks that it reads back whole and gives it the
  // output's name; an error abandons it.
  [[nodiscard]] std::optional<Error> finish();
  // Removes the hidden file; the output's name is left as it was.
  void abandon();

  std::uint64_t framesWritten() const { return frames_; }
  const SoundFileSpec& spec() const { return spec_; }

 private:
  Error failure(int errnoValue, std::string_view doing) const;
  Error refusedRate() const;

  void* file_ = nullptr;  // SNDFILE*
  std::unique_ptr<FlacFileEncoder> flac_;
  std::vector<std::int32_t> pcm_;  // a block of samples as integers, channel after channel
  int fd_ = -1;
  std::filesystem::path output_;
  std::filesystem::path temporary_;
  SoundFileSpec spec_;
  std::uint64_t frames_ = 0;
};

}  // namespace solvera
