// solvera-render-bench: renders one tone setting through the generator's render path without
// a device, optionally into a raw float32 stereo file, so that its whole-process cost can be
// compared with other tone generators on the same machine (for example with /usr/bin/time).
#include <chrono>
#include <cerrno>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_request.hpp"
#include "audio/tone_generator.hpp"

using namespace solvera;

namespace {

constexpr std::size_t kBlockFrames = 512;

// Processor time of this process: on a shared machine the wall clock also counts others' work.
double processorSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Options {
  double seconds = 60;
  std::string mode = "isochronic";
  std::string shape = "sine";
  double carrier = 528, beat = 6, volume = 0.2, balance = 0, bass = 0, mid = 0, treble = 0;
  std::string out;
};

void usage(std::FILE* to) {
  std::fputs(
      "usage: solvera-render-bench [--seconds N] [--mode binaural|monaural|isochronic|"
      "isochronic-monaural]\n"
      "         [--shape sine|triangle|square|trapezoid|sawtooth] [--carrier HZ] [--beat HZ]\n"
      "         [--volume 0..1] [--balance -1..1] [--bass DB] [--mid DB] [--treble DB]\n"
      "         [--out FILE]\n"
      "Renders interleaved float32 stereo at 44100 Hz; without --out the samples are computed\n"
      "and discarded. A summary goes to standard error.\n",
      to);
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string_view flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "missing value for %s\n", argv[i]);
      return false;
    }
    std::string_view value = argv[++i];
    auto number = [&](double& into) {
      auto parsed = parseDecimal(value);
      if (!parsed) std::fprintf(stderr, "not a number for %s: %s\n", argv[i - 1], argv[i]);
      if (parsed) into = *parsed;
      return parsed.has_value();
    };
    bool ok = true;
    if (flag == "--seconds") ok = number(o.seconds) && o.seconds >= 0;
    else if (flag == "--mode") o.mode = value;
    else if (flag == "--shape") o.shape = value;
    else if (flag == "--carrier") ok = number(o.carrier);
    else if (flag == "--beat") ok = number(o.beat);
    else if (flag == "--volume") ok = number(o.volume);
    else if (flag == "--balance") ok = number(o.balance);
    else if (flag == "--bass") ok = number(o.bass);
    else if (flag == "--mid") ok = number(o.mid);
    else if (flag == "--treble") ok = number(o.treble);
    else if (flag == "--out") o.out = value;
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i - 1]);
      ok = false;
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    usage(stderr);
    return 2;
  }
  std::FILE* out = nullptr;
  if (!o.out.empty()) {
    out = std::fopen(o.out.c_str(), "wb");
    if (!out) {
      std::fprintf(stderr, "cannot write %s: %s\n", o.out.c_str(), std::strerror(errno));
      return 1;
    }
  }

  const ToneSettings settings = ToneSettings::validated(
      {o.mode, o.shape, o.carrier, o.beat, o.volume, o.balance, o.bass, o.mid, o.treble});
  TonePhases phases;
  Equalizer equalizer;
  PeakLimiter limiter;
  std::vector<float> block(kBlockFrames * 2);
  const AudioBuffer buffer{block.data(), 2};
  const auto total = static_cast<std::size_t>(o.seconds * kToneSampleRate + 0.5);
  float checksum = 0;  // keeps the discarded render observable

  const auto began = std::chrono::steady_clock::now();
  const double beganProcessor = processorSeconds();
  for (std::size_t done = 0; done < total;) {
    const std::size_t n = std::min(kBlockFrames, total - done);
    renderTone(settings, phases, equalizer, limiter, n, AudioBufferList(&buffer, 1));
    if (out && std::fwrite(block.data(), sizeof(float) * 2, n, out) != n) {
      std::fprintf(stderr, "write failed: %s\n", std::strerror(errno));
      std::fclose(out);
      return 1;
    }
    checksum += block[0];
    done += n;
  }
  if (out && std::fclose(out) != 0) {
    std::fprintf(stderr, "write failed: %s\n", std::strerror(errno));
    return 1;
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const double processor = processorSeconds() - beganProcessor;
  const double audio = static_cast<double>(total) / kToneSampleRate;
  auto perFrame = [total](double seconds) {
    return total ? seconds * 1e9 / static_cast<double>(total) : 0.0;
  };
  auto factor = [audio](double seconds) { return seconds > 0 ? audio / seconds : 0.0; };

  std::fprintf(stderr,
               "%s %s, carrier %.2f Hz, beat %.2f Hz, volume %.2f, balance %.2f, eq %.1f/%.1f/%.1f "
               "dB: %zu frames (%.1f s of audio)\n"
               "  wall %.3f s: %.2f ns per frame, %.0fx real time\n"
               "  processor %.3f s: %.2f ns per frame, %.0fx real time (checksum %g)\n",
               std::string(toneModeWord(settings.mode)).c_str(),
               std::string(pulseShapeWord(settings.pulseShape)).c_str(), settings.carrier,
               settings.beat, settings.volume, settings.balance, settings.bass, settings.mid,
               settings.treble, total, audio, elapsed, perFrame(elapsed), factor(elapsed),
               processor, perFrame(processor), factor(processor), static_cast<double>(checksum));
  return 0;
}
