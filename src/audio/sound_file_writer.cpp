// Writing sound files through libsndfile into a hidden file that is renamed only when whole.
#include "audio/sound_file_writer.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <system_error>
#include <vector>

namespace solvera {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kChoose = "kies .wav, .flac, .ogg, .opus of .mp3.";

SNDFILE* handle(void* file) { return static_cast<SNDFILE*>(file); }

int libsndfileFormat(const SoundFileSpec& spec) {
  const int pcm = spec.bits == 24 ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16;
  switch (spec.format) {
    // RF64 where a plain WAV's 4 GiB would not hold it (a ten-hour 24-bit file).
    case SoundFileFormat::wav: {
      const double bytes = static_cast<double>(spec.expectedFrames) * 2 * spec.bits / 8;
      return (bytes > 4.0e9 ? SF_FORMAT_RF64 : SF_FORMAT_WAV) | pcm;
    }
    case SoundFileFormat::flac: return SF_FORMAT_FLAC | pcm;
    case SoundFileFormat::ogg: return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    case SoundFileFormat::opus: return SF_FORMAT_OGG | SF_FORMAT_OPUS;
    case SoundFileFormat::mp3: return SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
  }
  return 0;
}

bool diskFull(int errnoValue, const fs::path& folder) {
  if (errnoValue == ENOSPC || errnoValue == EDQUOT) return true;
  struct statvfs info {};
  return ::statvfs(folder.c_str(), &info) == 0 && info.f_bavail == 0;
}

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

}  // namespace

std::optional<SoundFileFormat> soundFileFormatFor(const fs::path& output) {
  std::string ext = output.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == ".wav") return SoundFileFormat::wav;
  if (ext == ".flac") return SoundFileFormat::flac;
  if (ext == ".ogg" || ext == ".oga") return SoundFileFormat::ogg;
  if (ext == ".opus") return SoundFileFormat::opus;
  if (ext == ".mp3") return SoundFileFormat::mp3;
  return std::nullopt;
}

std::string_view soundFileFormatWord(SoundFileFormat format) {
  switch (format) {
    case SoundFileFormat::wav: return "WAV";
    case SoundFileFormat::flac: return "FLAC";
    case SoundFileFormat::ogg: return "Ogg Vorbis";
    case SoundFileFormat::opus: return "Opus";
    case SoundFileFormat::mp3: return "MP3";
  }
  return "";
}

int soundFileRate(SoundFileFormat format, int rate) { return format == SoundFileFormat::opus ? 48000 : rate; }

SoundFileWriter::~SoundFileWriter() { abandon(); }

Error SoundFileWriter::failure(int errnoValue, std::string_view doing) const {
  const fs::path folder = output_.parent_path().empty() ? fs::path(".") : output_.parent_path();
  if (diskFull(errnoValue, folder)) {
    return Error{kSoundFileErrorDomain, 507, "De schijf is vol: " + quoted(output_.filename()) + " is niet geschreven."};
  }
  if (errnoValue == EACCES || errnoValue == EPERM || errnoValue == EROFS) {
    return Error{kSoundFileErrorDomain, 403, "In de map " + quoted(folder) + " kan niet worden geschreven."};
  }
  return Error{kSoundFileErrorDomain, 500,
               quoted(output_.filename()) + " kon niet worden geschreven (" + std::string(doing) + ")."};
}

std::optional<Error> SoundFileWriter::open(const fs::path& output, SoundFileSpec spec) {
  abandon();
  output_ = output;
  frames_ = 0;
  const auto format = soundFileFormatFor(output);
  if (!format) {
    const std::string ext = output.extension().string();
    return Error{kSoundFileErrorDomain, 400,
                 ext.empty() ? "Het uitvoerbestand heeft geen extensie: " + std::string(kChoose)
                             : "Onbekend formaat '" + ext + "': " + std::string(kChoose)};
  }
  if (spec.bits != 16 && spec.bits != 24) {
    return Error{kSoundFileErrorDomain, 400, "De bitdiepte kan 16 of 24 zijn."};
  }
  spec.format = *format;
  spec.sampleRate = soundFileRate(*format, spec.sampleRate);
  spec_ = spec;
  const fs::path folder = output.parent_path().empty() ? fs::path(".") : output.parent_path();
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    return Error{kSoundFileErrorDomain, 404, "De map " + quoted(folder) + " bestaat niet."};
  }
  if (fs::is_directory(output, ec)) {
    return Error{kSoundFileErrorDomain, 400, quoted(output) + " is een map, geen bestand."};
  }
  std::string pattern = (folder / ("." + output.filename().string() + ".XXXXXX")).string();
  fd_ = ::mkstemp(pattern.data());
  if (fd_ < 0) return failure(errno, "aanmaken");
  temporary_ = pattern;
  ::fchmod(fd_, 0644);
  SF_INFO info{};
  info.samplerate = spec.sampleRate;
  info.channels = 2;
  info.format = libsndfileFormat(spec);
  // MPEG audio knows only these rates; libsndfile finds that out inside the encoder and
  // leaks the encoder when it refuses, so the rate is checked here first.
  constexpr int kMp3Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
  const bool rateRefused = *format == SoundFileFormat::mp3 &&
                           std::ranges::find(kMp3Rates, spec.sampleRate) == std::end(kMp3Rates);
  if (sf_format_check(&info) == 0 || rateRefused) {
    abandon();
    return Error{kSoundFileErrorDomain, 400,
                 "Een " + std::string(soundFileFormatWord(*format)) + "-bestand kan niet met " +
                     std::to_string(spec.sampleRate) + " Hz worden geschreven."};
  }
  SNDFILE* file = sf_open_fd(fd_, SFM_WRITE, &info, SF_FALSE);
  if (file == nullptr) {
    abandon();
    return Error{kSoundFileErrorDomain, 400,
                 "Een " + std::string(soundFileFormatWord(*format)) + "-bestand kan niet met " +
                     std::to_string(spec.sampleRate) + " Hz worden geschreven."};
  }
  file_ = file;
  // Samples beyond full scale are clipped, not wrapped round, when turned into integers.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  if (*format == SoundFileFormat::flac) {
    // FLAC's fastest level: the encoder otherwise costs more than the whole synthesis, and
    // the stronger levels save little on noise and music.
    double level = 0.0;
    sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
  }
  return std::nullopt;
}

std::optional<Error> SoundFileWriter::write(const float* interleaved, std::size_t frames) {
  if (file_ == nullptr) return Error{kSoundFileErrorDomain, 500, "Er is geen bestand open."};
  // At most 4096 frames a call: the Vorbis encoder behind libsndfile fails on much larger ones.
  constexpr std::size_t kChunk = 4096;
  for (std::size_t done = 0; done < frames;) {
    const std::size_t n = std::min(kChunk, frames - done);
    errno = 0;
    const sf_count_t written = sf_writef_float(handle(file_), interleaved + 2 * done, static_cast<sf_count_t>(n));
    if (written != static_cast<sf_count_t>(n)) {
      const Error error = failure(errno, "schrijven");
      abandon();
      return error;
    }
    done += n;
    frames_ += n;
  }
  return std::nullopt;
}

std::optional<Error> SoundFileWriter::finish() {
  if (file_ == nullptr) return Error{kSoundFileErrorDomain, 500, "Er is geen bestand open."};
  errno = 0;
  // Closing writes what the encoders still hold and the header's lengths.
  const int closed = sf_close(handle(file_));
  int closeErrno = errno;
  file_ = nullptr;
  if (closed != 0 || ::fsync(fd_) != 0) {
    const Error error = failure(closed != 0 ? closeErrno : errno, closed != 0 ? "afsluiten" : "naar de schijf schrijven");
    abandon();
    return error;
  }
  ::close(fd_);
  fd_ = -1;
  // Only a file that reads back whole takes the name (libsndfile counts the frames of every
  // format exactly, encoder padding left out; an encoder may lose a write error on the way).
  SF_INFO info{};
  SNDFILE* check = sf_open(temporary_.c_str(), SFM_READ, &info);
  bool whole = check != nullptr && info.channels == 2 && info.samplerate == spec_.sampleRate &&
               static_cast<std::uint64_t>(info.frames) == frames_;
  if (whole && frames_ > 0) {
    // The last frames must be there too: an MP3's header counts what was meant, not what landed.
    const auto tail = static_cast<sf_count_t>(std::min<std::uint64_t>(frames_, 1024));
    std::vector<float> samples(2 * static_cast<std::size_t>(tail));
    whole = sf_seek(check, static_cast<sf_count_t>(frames_) - tail, SEEK_SET) >= 0 &&
            sf_readf_float(check, samples.data(), tail) == tail;
  }
  if (check != nullptr) sf_close(check);
  if (!whole) {
    Error error = failure(0, "controleren");
    if (error.code == 500) error.message = quoted(output_.filename()) + " is niet volledig geschreven.";
    abandon();
    return error;
  }
  if (::rename(temporary_.c_str(), output_.c_str()) != 0) {
    const Error error = failure(errno, "hernoemen");
    abandon();
    return error;
  }
  temporary_.clear();
  return std::nullopt;
}

void SoundFileWriter::abandon() {
  if (file_ != nullptr) sf_close(handle(file_));
  file_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

}  // namespace solvera
