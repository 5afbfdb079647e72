// A session as the player plays it: a plain value read from the library, a ".svpsession" file
// or the person's own sessions, kept only when it passes the page's own checks and limits.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/json.hpp"

namespace solvera::session {

struct Timeline;

inline constexpr const char* kSessionFileFormat = "solvera-session";
inline constexpr const char* kSessionLibraryFormat = "solvera-session-library";
inline constexpr std::size_t kMaxPhases = 64;
inline constexpr double kMaxSessionMinutes = 600;
inline constexpr const char* kCustomCategory = "Mijn sessies";
inline constexpr const char* kCustomCategoryEn = "My sessions";
inline constexpr const char* kSessionErrorDomain = "SolveraSession";

struct PhaseRgb {
  double r = 0;
  double g = 0;
  double b = 0;
  friend bool operator==(const PhaseRgb&, const PhaseRgb&) = default;
};

// Texts are kept as the file wrote them (an absent member stays absent); frequencies are the
// texts the timeline reads: "10", "10.5", or a glide "12 → 8".
struct SessionPhase {
  std::optional<std::string> name, nameEn, purpose, purposeEn;
  std::optional<std::string> start, end;  // "mm:ss", "h:mm:ss" or minutes
  std::string audioFrequencyHz;           // the beat; always present
  std::optional<std::string> lightFrequencyHz, carrierFrequencyHz;
  std::optional<std::string> colorHex;
  std::optional<PhaseRgb> rgb;
  // Percentages 0..100.
  std::optional<double> rgbIntensity, whiteIntensity, pulseVolume, musicVolume, noiseVolume,
      reverbMix;
  std::optional<std::string> musicMood, pulseShape, audioPulseShape, noiseType, reverbPreset;
  std::optional<bool> halcyonMode, ganzfeldMode;

  friend bool operator==(const SessionPhase&, const SessionPhase&) = default;
};

struct Session {
  std::string id;
  std::string title;
  std::optional<std::string> titleEn, goal, goalEn, category, categoryEn, categoryPurpose,
      subcategory, subcategoryEn, structure, musicMood, audioMode;
  std::optional<double> durationMinutes;
  std::optional<double> carrierFrequencyHz;
  std::optional<std::vector<std::string>> topics, concepts;
  std::optional<std::array<double, 2>> frequencyRangeHz;
  std::vector<SessionPhase> phases;

  friend bool operator==(const Session&, const Session&) = default;
};

// Why a session was refused, in the page's words: reason "empty", "size", "json", "format",
// "title", "phases", "duration", "values" (with the phase, 1-based, and the member), or
// "limits" (a beat or carrier the tone generator does not play: the phase, field "beat" or
// "carrier", the value and the generator's range), or "missing" (no session of that id).
struct SessionProblem {
  std::string reason;
  int phase = 0;
  std::string field;
  double value = 0, min = 0, max = 0;

  // The Dutch sentence the person reads.
  std::string message() const;
  Error error() const;
};

// A checked session, or why not.
struct SessionCheck {
  std::optional<Session> session;
  SessionProblem problem;
  explicit operator bool() const { return session.has_value(); }
};

// The page's checks of an imported session (its members kept within their text limits, a
// title, 1 to 64 phases, readable frequencies, light and levels in range, a playable duration
// up to 10 hours, every beat and carrier of the timeline within the tone generator's table),
// with the same repairs: a missing id made from the title, the duration and frequency range as
// the player will play them, "Mijn sessies" as the category of a session without one.
[[nodiscard]] SessionCheck checkSession(const Json& raw);

// The first beat or carrier of the timeline outside the tone generator's table ("limits"), or
// nothing. The player asks it again at start: a session may come from elsewhere than a check.
std::optional<SessionProblem> soundOutsideLimits(const Timeline& timeline);

// A session file's text: the exported document or, from other tools, a bare session object.
[[nodiscard]] SessionCheck parseSessionFile(std::string_view text);

// The session as the page writes it (member order as in its files).
OrderedJson sessionToJson(const Session& session);

// The document a ".svpsession" export holds.
OrderedJson sessionFileDocument(const Session& session, double exportedAtWallMs,
                                std::string_view application = "Solvera Pro Audio+Light");

// The shipped library (public/sessions/library.json): each entry checked; entries that fail
// are left out, as a page without them would still play the rest.
std::vector<Session> parseSessionLibrary(std::string_view text);

// The session with this id, checked: the person's own first (one of theirs may stand in for a
// shipped one, as in the page's list), then the library's; reason "missing" when neither has it.
[[nodiscard]] SessionCheck sessionById(const std::string& id, const std::vector<Session>& library,
                                       const std::vector<Json>& ownSessions);

// A frequency text for a glide from..to ("10" when both are the same, else "12 → 8").
std::string frequencyText(double from, double to);

}  // namespace solvera::session
