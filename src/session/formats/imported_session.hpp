// Sessions brought in from other players' files: what the readers found (a timeline of tone
// and noise values), turned into the session the page and the player know, with a notice for
// everything the session cannot hold and a line-numbered message for a file that cannot be read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"

namespace solvera::session {

// Something of the file the session does not hold (or holds differently), named for the person.
struct ImportNotice {
  std::string kind;        // a stable word: "second-voice", "spin", "bell", ...
  std::vector<int> lines;  // 1-based lines of the file; empty: the file as a whole
  std::string nl;
  std::string en;
  friend bool operator==(const ImportNotice&, const ImportNotice&) = default;
};

// Why a file could not be read.
struct ImportFailure {
  int line = 0;  // 0: the file as a whole
  std::string nl;
  std::string en;
};

struct ImportResult {
  std::optional<OrderedJson> session;  // the session as a library entry
  std::vector<ImportNotice> notices;
  ImportFailure failure;  // when there is no session
  explicit operator bool() const { return session.has_value(); }
};

// Notices gathered while reading: one per kind, with every line it concerns.
class ImportNotes {
 public:
  void add(std::string_view kind, int line, std::string nl, std::string en);
  bool has(std::string_view kind) const;
  std::vector<ImportNotice> take() { return std::move(notices_); }

 private:
  std::vector<ImportNotice> notices_;
};

// "Regel 4, 9: ..." / "Lines 4, 9: ..." (at most five lines named, then a count).
std::string noticeText(const ImportNotice& notice, bool dutch);
std::string failureText(const ImportFailure& failure, bool dutch);

// The reply of an import: {ok, session, notices: [{kind, lines, nl, en}]} or
// {ok: false, error: {line, nl, en}}.
OrderedJson importResultToJson(const ImportResult& result);

enum class ImportToneMode { none, binaural, monaural, isochronic };
enum class ImportNoise { none, pink, white, brown };

// The sound at one moment, as the readers find it. Levels are percentages.
struct ImportPoint {
  ImportToneMode mode = ImportToneMode::none;
  double carrierHz = 0;
  double beatHz = 0;
  double toneLevel = 0;
  std::string waveform = "sine";
  ImportNoise noise = ImportNoise::none;
  double noiseLevel = 0;
};

// A stretch of the file's timeline: values move linearly from `from` to `to`.
struct ImportSegment {
  double startS = 0;
  double endS = 0;
  ImportPoint from;
  ImportPoint to;
  std::string name;  // the tone-set or entry it came from, for the phase's name
  int line = 0;
};

struct ImportDraft {
  std::string title;
  std::optional<std::string> goal;
  std::vector<ImportSegment> segments;  // in order, end to end from 0
  // The stretch at a phase's start that the session's own glide-in makes (set for files this
  // program wrote, so that they read back to the phases they came from).
  bool absorbGlideIns = false;
};

// Frequencies as the timeline reads them: "10", "10.5", "12 → 8" (at most three decimals).
std::string importFrequencyText(double from, double to);
std::string importClockText(double seconds);

// The session for the draft: whole-second phase bounds, at most 64 phases (neighbours merged
// where it changes the least; a notice gives the largest change), ranges kept with a notice,
// lamps off (the files carry no light), no music or reverb.
ImportResult buildImportedSession(ImportDraft draft, ImportNotes& notes);

}  // namespace solvera::session
