// What a run of a session did, for its analysis report: the phases reached, the course of the
// frequencies and colours, pauses, seeks and blackouts, and the headband's readings with the
// band powers per phase. Its JSON is the shape the page's report is built from.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.hpp"
#include "session/session_model.hpp"
#include "session/timeline.hpp"

namespace solvera::session {

// The headband's readings over a run: per series count, mean, minimum and maximum, the
// bridge's statuses, and the mean relative band powers per session phase.
class HeadbandSummary {
 public:
  // events: one event object or a list; phase: the session phase playing (or -1).
  void add(const OrderedJson& events, int phase);
  // Null when nothing arrived.
  OrderedJson result() const;

 private:
  struct Stats {
    long n = 0;
    double sum = 0, min = 0, max = 0;
  };
  struct PhaseBands {
    long n = 0;
    std::array<double, 5> sums{};
  };
  void addOne(const OrderedJson& event, int phase);

  std::vector<std::pair<std::string, Stats>> stats_;  // in order of first arrival
  long count_ = 0;
  std::vector<std::string> statuses_;
  std::map<int, PhaseBands> phaseBands_;
};

class SessionRecord {
 public:
  static constexpr double kLogIntervalSeconds = 10;
  static constexpr std::size_t kMaxLog = 4000;

  // As set when the session starts: the tone mode, the light output in use ("" for none) and
  // whether the light pulses.
  struct Context {
    std::string audioMode;
    std::string outputMode;
    bool lightPulse = true;
  };

  void start(const Session& session, const Timeline& timeline, Context context, double wallMs);
  // One moment of a running session.
  void sample(const TimelineSample& sample);
  // kind: "pause", "resume", "seek", "blackoutOn", "blackoutOff".
  void mark(std::string_view kind, double elapsedS, double wallMs);
  // Headband events arriving while the session runs count towards the phase playing.
  void headband(const OrderedJson& events);
  // outcome: "finished" or "stopped".
  void finish(std::string_view outcome, double elapsedS, double wallMs);

  bool active() const { return started_ && !endedAt_; }
  bool started() const { return started_; }
  // The run so far or as it ended ("endedAt" null while it runs); null before any start.
  OrderedJson toJson() const;

 private:
  struct Moment {
    double time = 0;
    int phaseIndex = 0;
    TimelineValues values;
  };
  void log(const Moment& moment);

  bool started_ = false;
  OrderedJson session_;
  Context context_;
  double startedAt_ = 0;
  std::optional<double> endedAt_;
  std::string outcome_;
  double plannedS_ = 0;
  double elapsedS_ = 0;
  OrderedJson phases_;
  OrderedJson log_;
  OrderedJson events_;
  HeadbandSummary summary_;
  OrderedJson headband_;
  double logInterval_ = kLogIntervalSeconds;
  double lastLogS_ = 0;
  bool logged_ = false;
  int lastPhase_ = -1;
  std::optional<Moment> lastSample_;
};

}  // namespace solvera::session
