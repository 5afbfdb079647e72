// Writing sound files (libsndfile; FLAC through libFLAC) into a hidden file that is renamed
// only when whole.
#include "audio/sound_file_writer.hpp"

#include <FLAC/stream_encoder.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <system_error>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace solvera {

// libFLAC's encoder at its fastest level, writing into the hidden file through a buffer of
// its own: libFLAC hands over each frame (a few kilobytes) as it is made, and a system call
// for each cost more than the encoding of noise.
class FlacFileEncoder {
 public:
  explicit FlacFileEncoder(int fd) : fd_(fd), encoder_(FLAC__stream_encoder_new()) {}
  ~FlacFileEncoder() {
    // Deleting an unfinished encoder finishes it: nothing of that goes into the file.
    fd_ = -1;
    if (encoder_ != nullptr) FLAC__stream_encoder_delete(encoder_);
  }
  FlacFileEncoder(const FlacFileEncoder&) = delete;
  FlacFileEncoder& operator=(const FlacFileEncoder&) = delete;

  // False for a rate or depth the format cannot hold, or a first write that failed (see
  // writeErrno()).
  bool start(const SoundFileSpec& spec) {
    if (encoder_ == nullptr) return false;
    FLAC__stream_encoder_set_channels(encoder_, 2);
    FLAC__stream_encoder_set_bits_per_sample(encoder_, static_cast<std::uint32_t>(spec.bits));
    FLAC__stream_encoder_set_sample_rate(encoder_, static_cast<std::uint32_t>(spec.sampleRate));
    // Level 0 with its default block, and one Rice parameter for each block's residual: the
    // stronger levels save little on noise and music and cost more than the whole synthesis;
    // larger blocks were slower here, and finer partitions made the files no smaller.
    FLAC__stream_encoder_set_compression_level(encoder_, 0);
    FLAC__stream_encoder_set_max_residual_partition_order(encoder_, 0);
    FLAC__stream_encoder_set_total_samples_estimate(encoder_, spec.expectedFrames);
    return FLAC__stream_encoder_init_stream(encoder_, &FlacFileEncoder::onWrite, &FlacFileEncoder::onSeek,
                                            &FlacFileEncoder::onTell, nullptr,
                                            this) == FLAC__STREAM_ENCODER_INIT_STATUS_OK;
  }
  // One buffer per channel: libFLAC works on channels, and copies these as they are.
  bool process(const std::int32_t* left, const std::int32_t* right, std::size_t frames) {
    const std::int32_t* const channels[] = {left, right};
    return FLAC__stream_encoder_process(encoder_, channels, static_cast<std::uint32_t>(frames)) != 0;
  }
  // Encodes what is held, writes the stream's header again with the lengths and the
  // checksum, and hands everything to the file.
  bool finish() { return FLAC__stream_encoder_finish(encoder_) != 0 && flush(); }
  int writeErrno() const { return errno_; }

 private:
  static constexpr std::size_t kBufferBytes = 1 << 20;

  static FLAC__StreamEncoderWriteStatus onWrite(const FLAC__StreamEncoder* /*encoder*/, const FLAC__byte buffer[],
                                                std::size_t bytes, std::uint32_t /*samples*/,
                                                std::uint32_t /*frame*/, void* self) {
    auto& out = *static_cast<FlacFileEncoder*>(self);
    if (out.fd_ < 0) return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    out.pending_.insert(out.pending_.end(), buffer, buffer + bytes);
    if (out.pending_.size() >= kBufferBytes && !out.flush()) return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
  }
  static FLAC__StreamEncoderSeekStatus onSeek(const FLAC__StreamEncoder* /*encoder*/, FLAC__uint64 offset, void* self) {
    auto& out = *static_cast<FlacFileEncoder*>(self);
    if (out.fd_ < 0 || !out.flush()) return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    if (::lseek(out.fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
      out.errno_ = errno;
      return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    }
    out.offset_ = offset;
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
  }
  static FLAC__StreamEncoderTellStatus onTell(const FLAC__StreamEncoder* /*encoder*/, FLAC__uint64* offset,
                                              void* self) {
    const auto& out = *static_cast<FlacFileEncoder*>(self);
    *offset = out.offset_ + out.pending_.size();
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
  }

  bool flush() {
    std::size_t done = 0;
    while (done < pending_.size()) {
      const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        errno_ = n < 0 ? errno : ENOSPC;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    offset_ += pending_.size();
    pending_.clear();
    return true;
  }

  int fd_;
  FLAC__StreamEncoder* encoder_;
  std::vector<FLAC__byte> pending_;
  FLAC__uint64 offset_ = 0;  // the file's offset where pending_ begins
  int errno_ = 0;
};

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

namespace {

struct PcmRange {
  float scale, low, high;
};

PcmRange pcmRange(int bits) {
  const float scale = bits == 24 ? 0x1p23f : 0x1p15f;
  return {scale, -scale, scale - 1.0f};
}

std::int32_t toPcm(float sample, PcmRange range) {
  const float v = sample * range.scale;
  return static_cast<std::int32_t>(std::lrintf(std::isnan(v) ? 0.0f : std::clamp(v, range.low, range.high)));
}

#if defined(__SSE2__)
// Four at a time; the conversion rounds to nearest, ties to even, as lrintf does.
__m128i toPcm(__m128 samples, PcmRange range) {
  __m128 v = _mm_mul_ps(samples, _mm_set1_ps(range.scale));
  v = _mm_and_ps(v, _mm_cmpord_ps(v, v));  // not a number: 0
  v = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(range.low)), _mm_set1_ps(range.high));
  return _mm_cvtps_epi32(v);
}
#endif

}  // namespace

void floatToPcmChannels(const float* interleaved, std::int32_t* left, std::int32_t* right, std::size_t frames,
                        int bits) {
  const PcmRange range = pcmRange(bits);
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 4 <= frames; i += 4) {
    const __m128 a = _mm_loadu_ps(interleaved + 2 * i);      // l0 r0 l1 r1
    const __m128 b = _mm_loadu_ps(interleaved + 2 * i + 4);  // l2 r2 l3 r3
    _mm_storeu_si128(reinterpret_cast<__m128i*>(left + i), toPcm(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), range));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(right + i), toPcm(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)), range));
  }
#endif
  for (; i < frames; ++i) {
    left[i] = toPcm(interleaved[2 * i], range);
    right[i] = toPcm(interleaved[2 * i + 1], range);
  }
}

SoundFileWriter::SoundFileWriter() = default;
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
  if (*format == SoundFileFormat::flac) {
    flac_ = std::make_unique<FlacFileEncoder>(fd_);
    if (!flac_->start(spec)) {
      const int writeErrno = flac_->writeErrno();
      const Error error = writeErrno != 0 ? failure(writeErrno, "schrijven") : refusedRate();
      abandon();
      return error;
    }
    return std::nullopt;
  }
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
    const Error error = refusedRate();
    abandon();
    return error;
  }
  SNDFILE* file = sf_open_fd(fd_, SFM_WRITE, &info, SF_FALSE);
  if (file == nullptr) {
    const Error error = refusedRate();
    abandon();
    return error;
  }
  file_ = file;
  // Samples beyond full scale are clipped, not wrapped round, when turned into integers.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return std::nullopt;
}

Error SoundFileWriter::refusedRate() const {
  return Error{kSoundFileErrorDomain, 400,
               "Een " + std::string(soundFileFormatWord(spec_.format)) + "-bestand kan niet met " +
                   std::to_string(spec_.sampleRate) + " Hz worden geschreven."};
}

std::optional<Error> SoundFileWriter::write(const float* interleaved, std::size_t frames) {
  if (flac_) {
    constexpr std::size_t kFlacChunk = 4096;
    pcm_.resize(2 * kFlacChunk);
    for (std::size_t done = 0; done < frames;) {
      const std::size_t n = std::min(kFlacChunk, frames - done);
      floatToPcmChannels(interleaved + 2 * done, pcm_.data(), pcm_.data() + kFlacChunk, n, spec_.bits);
      if (!flac_->process(pcm_.data(), pcm_.data() + kFlacChunk, n)) {
        const Error error = failure(flac_->writeErrno(), "schrijven");
        abandon();
        return error;
      }
      done += n;
      frames_ += n;
    }
    return std::nullopt;
  }
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
  if (file_ == nullptr && !flac_) return Error{kSoundFileErrorDomain, 500, "Er is geen bestand open."};
  errno = 0;
  // Closing writes what the encoders still hold and the header's lengths.
  int closed = 0;
  int closeErrno = 0;
  if (flac_) {
    closed = flac_->finish() ? 0 : -1;
    closeErrno = flac_->writeErrno();
    flac_.reset();
  } else {
    closed = sf_close(handle(file_));
    closeErrno = errno;
    file_ = nullptr;
  }
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
  flac_.reset();
  if (file_ != nullptr) sf_close(handle(file_));
  file_ = nullptr;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

}  // namespace solvera
