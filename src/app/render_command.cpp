// solvera-pro render SESSION OUTPUT: a library session or a session file to a sound file, with
// a progress bar on a terminal and nothing left under the output's name when it fails.
#include "app/render_command.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "app/named_session.hpp"
#include "common/xdg.hpp"
#include "session/formats/render_job.hpp"
#include "session/offline_render.hpp"
#include "session/session_player.hpp"
#include "session/settings.hpp"

namespace solvera {
namespace {

namespace fs = std::filesystem;

std::atomic<bool> gCancel{false};

void onSignal(int) { gCancel.store(true); }

std::string clockText(double seconds) {
  const long long s = std::llround(seconds);
  char buffer[32];
  if (s >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", s / 3600, (s % 3600) / 60, s % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", s / 60, s % 60);
  }
  return buffer;
}

}  // namespace

int runRenderCommand(const RenderCommandLine& command, const platform::Bundle& bundle) {
  const std::string displayName = bundle.info.productDisplayName();
  session::SettingsStore store(session::SettingsStore::defaultSettingsFile(displayName),
                               session::SettingsStore::defaultOwnSessionsFile());
  NamedSession loaded = loadNamedSession(command.session, bundle, store);
  if (!loaded.session) {
    std::cerr << "solvera-pro: " << loaded.error << "\n";
    return 1;
  }
  const auto format = soundFileFormatFor(command.output);
  if (!format) {
    std::cerr << "solvera-pro: Onbekend formaat '" << command.output.extension().string()
              << "': kies .wav, .flac, .ogg, .opus of .mp3.\n";
    return 1;
  }
  session::RenderRequest request;
  request.session = std::move(*loaded.session);
  request.settings = store.settings();
  request.output = command.output;
  request.sampleRate = command.rate;
  request.bits = command.bits;
  request.fromS = command.fromS.value_or(0);
  request.toS = command.toS;
  request.music = !command.noMusic;
  request.noise = !command.noNoise;
  if (request.music) request.tracks = session::musicTracksOf(xdg::musicLibraryDir());

  // Ctrl-C (or a stop) ends the render without leaving a file behind.
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  session::lowerThreadPriority();

  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  const auto started = std::chrono::steady_clock::now();
  auto lastShown = started - std::chrono::seconds(1);
  const double rate = soundFileRate(*format, command.rate);
  auto progress = [&](std::uint64_t done, std::uint64_t total) {
    if (!terminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown < std::chrono::milliseconds(100) && done < total) return;
    lastShown = now;
    const double fraction = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1;
    const double elapsed = std::chrono::duration<double>(now - started).count();
    const double left = fraction > 0 ? elapsed / fraction - elapsed : 0;
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(fraction * kWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '-');
    std::printf("\r[%s] %3d %%  %s van %s  nog %s ", bar.c_str(), static_cast<int>(fraction * 100),
                clockText(static_cast<double>(done) / rate).c_str(), clockText(static_cast<double>(total) / rate).c_str(),
                clockText(left).c_str());
    std::fflush(stdout);
  };
  const std::optional<Error> error = session::renderToFile(request, gCancel, progress);
  if (terminal) std::printf("\n");
  if (error) {
    if (error->code == 499) {
      std::cerr << "solvera-pro: Afgebroken; er is geen bestand geschreven.\n";
      return 130;
    }
    std::cerr << "solvera-pro: " << error->message << "\n";
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  session::OfflineRenderOptions spanOptions;
  spanOptions.fromS = request.fromS;
  spanOptions.toS = request.toS;
  spanOptions.sampleRate = rate;
  const double span = static_cast<double>(session::offlineFrameCount(request.session, spanOptions)) / rate;
  std::printf("Geschreven: %s (%s, %s, %d Hz) in %.1f s, %.0f keer sneller dan afspelen.\n",
              command.output.string().c_str(), clockText(span).c_str(),
              std::string(soundFileFormatWord(*format)).c_str(), static_cast<int>(rate), seconds,
              seconds > 0 ? span / seconds : 0.0);
  return 0;
}

}  // namespace solvera
