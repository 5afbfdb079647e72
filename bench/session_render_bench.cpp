// session-render-bench: rendering sessions to files. Speed on one core (the render thread's
// processor time) for beat and noise, and with music and reverb, into WAV and FLAC and each
// lossy encoder; then correctness on the rendered files: the beat measured from the sound
// against the timeline every 10 s, the lengths of WAV and FLAC files, the peak of a 24-bit WAV
// with music and noise, and whether sox, flac, ogginfo and opusinfo accept each file.
// Usage: session-render-bench SOURCE_DIR [quick]
#include <sndfile.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "session/formats/render_job.hpp"
#include "session/formats/tests/beat_measure.hpp"
#include "session/timeline.hpp"

using namespace solvera;
using namespace solvera::session;
namespace fs = std::filesystem;

namespace {

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Three minutes of something music-like: a slowly moving chord over soft noise.
fs::path writeMusic(const fs::path& path) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  std::vector<float> block(2 * 4096);
  std::uint32_t noise = 7;
  for (std::size_t at = 0; at < 180 * 44100; at += 4096) {
    for (std::size_t i = 0; i < 4096; ++i) {
      const double t = static_cast<double>(at + i) / 44100;
      double v = 0;
      for (double f : {220.0, 277.2, 329.6}) v += 0.12 * std::sin(2 * M_PI * f * (1 + 0.01 * std::sin(t / 7)) * t);
      noise = noise * 1664525u + 1013904223u;
      v += 0.05 * (static_cast<double>(noise >> 8) / 16777216.0 - 0.5);
      block[2 * i] = static_cast<float>(v);
      block[2 * i + 1] = static_cast<float>(v * 0.9);
    }
    sf_writef_float(file, block.data(), 4096);
  }
  sf_close(file);
  return path;
}

struct Figure {
  double span = 0;
  double cpu = 0;
};

Figure render(RenderRequest request) {
  std::atomic<bool> cancel{false};
  const double before = threadSeconds();
  if (auto error = renderToFile(request, cancel)) {
    std::fprintf(stderr, "render %s: %s\n", request.output.c_str(), error->message.c_str());
    std::exit(1);
  }
  const double cpu = threadSeconds() - before;
  SF_INFO info{};
  SNDFILE* file = sf_open(request.output.c_str(), SFM_READ, &info);
  sf_close(file);
  return {static_cast<double>(info.frames) / info.samplerate, cpu};
}

std::vector<float> readAll(const fs::path& path, SF_INFO& info) {
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<float> samples(static_cast<std::size_t>(info.frames) * 2);
  sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);
  return samples;
}

bool tool(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: session-render-bench SOURCE_DIR [quick]\n");
    return 2;
  }
  const bool quick = argc > 2 && std::string(argv[2]) == "quick";
  std::ifstream in(fs::path(argv[1]) / "public/sessions/library.json");
  std::stringstream text;
  text << in.rdbuf();
  const std::vector<Session> library = parseSessionLibrary(text.str());
  char pattern[] = "/tmp/solvera-render-bench-XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  std::vector<MusicTrack> tracks;
  std::vector<std::string> moods;
  for (const Session& s : library) {
    for (const SessionPhase& p : s.phases) {
      if (p.musicMood && std::find(moods.begin(), moods.end(), *p.musicMood) == moods.end()) moods.push_back(*p.musicMood);
    }
  }
  tracks.push_back({writeMusic(dir / "one.flac"), moods});
  tracks.push_back({writeMusic(dir / "two.flac"), moods});

  // The first library session (20 minutes) two ways: beat and noise alone, and as it is.
  const Session& full = library.front();
  Session plain = full;
  for (SessionPhase& p : plain.phases) {
    p.reverbMix = 0;
    p.musicVolume = 0;
  }
  std::printf("Render speed on one core (%s, %.0f min; processor time of the render thread):\n", full.id.c_str(),
              buildTimeline(full).durationS / 60);
  struct Row {
    const char* what;
    const Session* session;
    bool music;
    const char* ext;
    int bits;
  };
  const Row rows[] = {{"beat + noise", &plain, false, "wav", 16},         {"beat + noise", &plain, false, "flac", 16},
                      {"music + reverb + noise", &full, true, "wav", 16}, {"music + reverb + noise", &full, true, "flac", 16},
                      {"music + reverb + noise", &full, true, "wav", 24}, {"music + reverb + noise", &full, true, "ogg", 16},
                      {"music + reverb + noise", &full, true, "opus", 16}, {"music + reverb + noise", &full, true, "mp3", 16}};
  for (const Row& row : rows) {
    RenderRequest request;
    request.session = *row.session;
    request.music = row.music;
    request.tracks = row.music ? tracks : std::vector<MusicTrack>{};
    request.bits = row.bits;
    request.output = dir / (std::string(row.music ? "full" : "plain") + std::to_string(row.bits) + "." + row.ext);
    if (quick) request.toS = 120;
    const Figure f = render(request);
    std::printf("  %-24s %-4s %2d bit: %6.1f s of sound in %6.2f s = %6.0fx real time\n", row.what, row.ext, row.bits,
                f.span, f.cpu, f.span / f.cpu);
  }

  // Correctness.
  std::printf("\nFiles:\n");
  for (const char* name : {"full16.wav", "full16.flac", "full24.wav", "full16.ogg", "full16.opus", "full16.mp3"}) {
    const fs::path file = dir / name;
    const std::string ext = file.extension().string();
    SF_INFO info{};
    SNDFILE* handle = sf_open(file.c_str(), SFM_READ, &info);
    sf_close(handle);
    const double expected = (quick ? 120.0 : buildTimeline(full).durationS) * info.samplerate;
    // Debian's sox is built without Opus: opusinfo speaks for those files.
    bool tools = ext == ".opus" || (tool("soxi '" + file.string() + "'") && tool("sox --i '" + file.string() + "'"));
    std::string soxDuration;
    if (FILE* pipe = popen(("soxi -s '" + file.string() + "' 2>/dev/null").c_str(), "r")) {
      char line[64] = {};
      if (std::fgets(line, sizeof line, pipe) != nullptr) soxDuration = line;
      pclose(pipe);
      while (!soxDuration.empty() && soxDuration.back() == '\n') soxDuration.pop_back();
    }
    if (ext == ".flac") tools = tools && tool("flac -t -s '" + file.string() + "'");
    if (ext == ".ogg") tools = tools && tool("ogginfo '" + file.string() + "'");
    if (ext == ".opus") tools = tools && tool("opusinfo '" + file.string() + "'");
    std::printf("  %-12s %d Hz, %lld frames (%+lld against the span), soxi %s samples, tools %s\n", name, info.samplerate,
                static_cast<long long>(info.frames), static_cast<long long>(info.frames - std::llround(expected)),
                soxDuration.c_str(), tools ? "accept it" : "REFUSE it");
  }
  {
    SF_INFO info{};
    const std::vector<float> samples = readAll(dir / "full24.wav", info);
    double peak = 0;
    for (float v : samples) peak = std::max(peak, static_cast<double>(std::fabs(v)));
    std::printf("  full24.wav peak %.6f of full scale (%.2f dBFS)\n", peak, 20 * std::log10(peak));
  }

  // The beat from the sound against the timeline, every 10 s, in every library session.
  std::printf("\nBeat measured from the sound against the timeline every 10 s (no noise, no music):\n");
  double worstAll = 0;
  for (const Session& s : library) {
    RenderRequest request;
    request.session = s;
    request.music = false;
    request.noise = false;
    request.output = dir / "beat.wav";
    if (quick) request.toS = 120;
    render(request);
    SF_INFO info{};
    const std::vector<float> samples = readAll(request.output, info);
    const Timeline timeline = buildTimeline(s);
    const bool binaural = s.audioMode.value_or("binaural") == "binaural";
    const auto beats = test::measuredBeats(samples, info.samplerate, 1.0, binaural,
                                           [&](double t) { return sampleTimeline(timeline, t).values.beatHz; });
    double worst = 0;
    int points = 0;
    for (std::size_t k = 5; k < beats.size(); k += 10) {  // the window centred on 10 s, 20 s, ...
      worst = std::max(worst, std::fabs(beats[k] - sampleTimeline(timeline, static_cast<double>(k) + 0.5).values.beatHz));
      ++points;
    }
    worstAll = std::max(worstAll, worst);
    std::printf("  %-32s %-10s %3d points, largest difference %.4f Hz\n", s.id.c_str(),
                s.audioMode.value_or("binaural").c_str(), points, worst);
  }
  std::printf("  all sessions: largest difference %.4f Hz\n", worstAll);
  fs::remove_all(dir);
  return 0;
}
