// The program's settings (the page's settings plus the audio device, the extra latency and the
// accepted photosensitivity warning) and the person's own sessions, kept in files of the
// program so that every page, the phone and the command line share them.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/json.hpp"

namespace solvera::session {

// One more output that shows the same light.
struct ExtraOutput {
  std::string outputMode = "artnet";
  std::string targetIp;
  int universe = 0;
  std::string serialPort;
  friend bool operator==(const ExtraOutput&, const ExtraOutput&) = default;
};
inline constexpr std::size_t kMaxExtraOutputs = 7;

struct LightSettings {
  std::string outputMode = "artnet";  // "artnet", "sacn", "enttec-usb-pro", "open-dmx-ftdi", "ola"
  std::string targetIp;               // no address until the person gives one
  int universe = 0;
  std::string serialPort;
  int startAddress = 1;
  std::string channelLayout = "rgb";
  int fixtureCount = 1;
  int channelSpacing = 0;
  bool pulse = true;
  bool shortFrames = false;
  int priority = 100;            // sACN and OLA: how receivers merge sources
  std::string networkInterface;  // sACN multicast leaves by it; "" the system's choice
  bool sequencing = false;       // Art-Net sequence numbers
  bool sync = false;             // Art-Net ArtSync after each frame
  std::vector<ExtraOutput> extraOutputs;
  friend bool operator==(const LightSettings&, const LightSettings&) = default;
};

struct AudioSettings {
  std::string mode = "session";        // "session" or a tone mode word
  std::string pulseShape = "session";  // "session" or a pulse shape word
  double balance = 0;
  double bass = 0, mid = 0, treble = 0;
  bool noise = true;
  std::string device;    // output device name; "" follows the system's default
  double latencyMs = 0;  // added to the output's own latency (Bluetooth headphones)
  friend bool operator==(const AudioSettings&, const AudioSettings&) = default;
};

// The live controls, percentages and switches.
struct Controls {
  double masterVolume = 80;
  double rgbIntensity = 100;
  double whiteIntensity = 100;
  bool audioEnabled = true;
  bool musicEnabled = true;
  bool outputEnabled = true;
  friend bool operator==(const Controls&, const Controls&) = default;
};

struct ProgramSettings {
  std::string language = "nl";
  LightSettings light;
  AudioSettings audio;
  Controls controls;
  std::string openAIKey;
  bool photosensitivityAccepted = false;
  friend bool operator==(const ProgramSettings&, const ProgramSettings&) = default;
};

inline constexpr double kMaxExtraLatencyMs = 1000;

// Fills gaps and repairs nonsense as the page does, so a stored or sent settings object can
// always be used.
ProgramSettings normalizeSettings(const Json& raw);
OrderedJson settingsToJson(const ProgramSettings& settings);

// What carrying over a page's local storage did.
struct PageStorageMerge {
  bool settingsTaken = false;  // the program had none; the page's are now the program's
  int sessionsAdded = 0;
  int sessionsAlreadyKept = 0;
  // Sessions whose id the program already used for a different session: kept under a new id.
  std::vector<std::pair<std::string, std::string>> renamed;  // page id -> kept id
  int sessionsRefused = 0;  // not a session object (no text id, no phase list)
  bool written = true;      // false when a file could not be written
};

// The two files; every call may come from any thread.
class SettingsStore {
 public:
  SettingsStore(std::filesystem::path settingsFile, std::filesystem::path ownSessionsFile);
  // <config>/<display name>/settings.json and <data>/Solvera Pro/own-sessions.json.
  static std::filesystem::path defaultSettingsFile(const std::string& productDisplayName);
  static std::filesystem::path defaultOwnSessionsFile();

  // The stored settings, normalised; nothing when the program has none yet.
  std::optional<ProgramSettings> storedSettings() const;
  // The stored settings or the defaults.
  ProgramSettings settings() const;
  // Normalises and writes atomically. False when the file could not be written.
  [[nodiscard]] bool saveSettings(const ProgramSettings& settings);

  // The person's own sessions, as the page made them (newest first).
  std::vector<Json> ownSessions() const;
  std::optional<Json> ownSession(const std::string& id) const;
  // Puts the session first, replacing one with the same id. False when it has no text id
  // or could not be written.
  [[nodiscard]] bool putOwnSession(const Json& session);
  [[nodiscard]] bool removeOwnSession(const std::string& id);

  // Carries over what a page kept in its local storage: an object with the page's keys
  // "solvera.settings.v1" (settings, as JSON text or object), "solvera.photosensitivityAccepted.v1"
  // ("yes") and "solvera.customSessions.v1" (a list, as JSON text or array). Settings and the
  // accepted warning only while the program has no settings of its own; own sessions merged by
  // id: the same session once, a different one under the same id kept under a new id. Doing it
  // again changes nothing.
  PageStorageMerge mergePageStorage(const Json& storage);

 private:
  std::optional<ProgramSettings> readSettings() const;  // under mutex_
  std::vector<Json> readSessions() const;               // under mutex_
  bool writeSessions(const std::vector<Json>& sessions);

  std::filesystem::path settingsFile_;
  std::filesystem::path sessionsFile_;
  mutable std::mutex mutex_;
};

}  // namespace solvera::session
