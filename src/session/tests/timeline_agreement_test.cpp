// The program's timeline and session checks against the page's own (public/js/timeline.js and
// session-file.js, run by node): every library session and a set of odd ones, sampled at over
// a thousand moments each, glide and fade edges included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/files.hpp"
#include "session/session_model.hpp"
#include "session/timeline.hpp"
#include "session/tests/session_test_support.hpp"

namespace solvera::session {
namespace {

namespace fs = std::filesystem;

std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  ::pclose(pipe);
  return output;
}

std::string shellQuoted(const fs::path& path) {
  std::string out = "'";
  for (char c : path.string()) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool near(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(b)); }

std::vector<double> valuesOf(const TimelineValues& v) {
  return {v.beatHz, v.lightHz, v.carrierHz, v.r, v.g, v.b, v.rgbIntensity, v.whiteIntensity,
          v.pulseVolume, v.musicVolume, v.noiseVolume, v.reverbMix};
}

// Compares one case; returns the first difference, or "" when they agree.
std::string compareCase(const Json& page, const SessionCheck& ours) {
  if (page["ok"].get<bool>() != static_cast<bool>(ours)) {
    return "verdict: page " + page.dump().substr(0, 200) + ", program " + (ours ? "accepted" : ours.problem.reason);
  }
  if (!ours) {
    const Json& detail = page["detail"];
    if (page["reason"] != ours.problem.reason) return "reason " + page["reason"].dump() + " vs " + ours.problem.reason;
    if (detail.value("phase", 0) != ours.problem.phase) return "problem phase " + detail.dump();
    if (detail.value("field", std::string()) != ours.problem.field) return "problem field " + detail.dump();
    if (ours.problem.message().empty()) return "no message";
    return "";
  }
  if (Json(sessionToJson(*ours.session)) != page["session"]) {
    return "cleaned session:\n page    " + page["session"].dump() + "\n program " + sessionToJson(*ours.session).dump();
  }
  const Timeline timeline = buildTimeline(*ours.session);
  const Json& pt = page["timeline"];
  if (!near(timeline.durationS, pt["durationS"].get<double>())) return "duration";
  if (timeline.phases.size() != pt["phases"].size()) return "phase count";
  for (std::size_t i = 0; i < timeline.phases.size(); ++i) {
    const TimelinePhase& p = timeline.phases[i];
    const Json& q = pt["phases"][i];
    const Json& d = q["discrete"];
    const std::string at = "phase " + std::to_string(i) + ": ";
    if (p.name != q["name"] || p.nameEn != q["nameEn"]) return at + "name";
    if (!near(p.startS, q["startS"]) || !near(p.endS, q["endS"]) || !near(p.glideS, q["glideS"])) return at + "bounds";
    auto start = valuesOf(p.start), end = valuesOf(p.end);
    for (std::size_t k = 0; k < start.size(); ++k) {
      if (!near(start[k], q["start"][k]) || !near(end[k], q["end"][k])) return at + "value " + std::to_string(k);
    }
    if (p.discrete.pulseShape != d["pulseShape"] || p.discrete.audioPulseShape != d["audioPulseShape"] ||
        p.discrete.noiseType != d["noiseType"] || p.discrete.musicMood != d["musicMood"] ||
        p.discrete.reverbPreset != d["reverbPreset"] || p.discrete.halcyonMode != d["halcyonMode"] ||
        p.discrete.ganzfeldMode != d["ganzfeldMode"]) {
      return at + "words " + d.dump();
    }
  }
  for (const Json& row : page["samples"]) {
    const double t = row[0];
    const TimelineSample s = sampleTimeline(timeline, t);
    const std::string at = "t=" + std::to_string(t) + ": ";
    if (!near(s.time, row[1]) || s.phaseIndex != row[2].get<int>() || s.gliding != row[3].get<bool>()) {
      return at + "phase/gliding " + row.dump();
    }
    if (!near(s.envelope, row[4]) || !near(s.phaseElapsedS, row[5]) || !near(s.remainingS, row[6])) {
      return at + "envelope or clock " + row.dump();
    }
    auto values = valuesOf(s.values);
    for (std::size_t k = 0; k < values.size(); ++k) {
      if (!near(values[k], row[7 + k])) return at + "value " + std::to_string(k) + " " + std::to_string(values[k]) + " vs " + row[7 + k].dump();
    }
  }
  return "";
}

TEST(Timeline, AgreesWithThePagesTimelineAndImportChecks) {
  const std::string node = findOnPath("node");
  if (node.empty()) GTEST_SKIP() << "node is not installed: the page's timeline cannot be run for comparison";
  const fs::path source = sourceDir();
  const Json library = Json::parse(readWholeFile(source / "public/sessions/library.json").value());
  const Json extra = Json::parse(readWholeFile(source / "src/session/tests/timeline_cases.json").value());
  Json cases = Json::array();
  for (const Json& s : library["sessions"]) cases.push_back({{"session", s}, {"raw", true}});
  for (const Json& c : extra["cases"]) cases.push_back(c);
  ASSERT_GE(library["sessions"].size(), 20u);

  ScratchDir scratch;
  const fs::path input = scratch.path() / "cases.json";
  ASSERT_TRUE(writeFileAtomically(input, Json({{"moments", 1000}, {"cases", cases}}).dump()));
  const std::string output = run(shellQuoted(node) + " " + shellQuoted(source / "src/session/tests/sample_timeline.mjs") + " " +
                                 shellQuoted(source / "public/js") + " " + shellQuoted(input));
  std::optional<Json> page = parseJson(output);
  ASSERT_TRUE(page.has_value()) << "node gave no JSON: " << output.substr(0, 500);
  const Json& results = (*page)["results"];
  ASSERT_EQ(results.size(), cases.size());

  std::size_t sampled = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Json& c = cases[i];
    const std::string title = c["session"].value("title", std::string("?"));
    const SessionCheck ours = checkSession(c["session"]);
    if (c.contains("differs")) {
      const Json& want = c["differs"];
      EXPECT_EQ(static_cast<bool>(ours), want["ok"].get<bool>()) << title;
      EXPECT_NE(static_cast<bool>(ours), results[i]["ok"].get<bool>()) << title << ": the page now agrees";
      if (!ours && !want["ok"].get<bool>()) {
        EXPECT_EQ(ours.problem.reason, want["reason"]) << title;
        EXPECT_EQ(ours.problem.phase, want["phase"]) << title;
        EXPECT_EQ(ours.problem.field, want["field"]) << title;
      }
      continue;
    }
    if (c.value("raw", false)) {
      ASSERT_TRUE(ours) << "library session refused: " << title << ": " << ours.problem.message();
    }
    EXPECT_EQ(compareCase(results[i], ours), "") << "session " << i << " \"" << title << "\"";
    if (results[i].contains("samples")) sampled += results[i]["samples"].size();
  }
  EXPECT_GE(sampled, cases.size() * 1000 / 2);
}

// Without node too: values run on across every phase edge of the library (the glide starts
// where the previous phase ended), and the session fades in from and out to silence and dark.
TEST(Timeline, GlidesAndFadesAreContinuousAtPhaseEdges) {
  const auto sessions = parseSessionLibrary(readWholeFile(sourceDir() / "public/sessions/library.json").value());
  ASSERT_GE(sessions.size(), 20u);
  for (const Session& session : sessions) {
    const Timeline timeline = buildTimeline(session);
    for (std::size_t i = 1; i < timeline.phases.size(); ++i) {
      const double edge = timeline.phases[i].startS;
      const auto before = valuesOf(sampleTimeline(timeline, edge - 1e-7).values);
      const auto after = valuesOf(sampleTimeline(timeline, edge + 1e-7).values);
      for (std::size_t k = 0; k < before.size(); ++k) {
        EXPECT_NEAR(before[k], after[k], 1e-4) << session.id << " phase " << i << " value " << k;
      }
      // Halfway through the glide the value lies strictly between the two phases' values.
      const TimelineSample mid = sampleTimeline(timeline, edge + timeline.phases[i].glideS / 2);
      EXPECT_TRUE(mid.gliding || timeline.phases[i - 1].end == timeline.phases[i].start) << session.id;
      EXPECT_EQ(mid.phaseIndex, static_cast<int>(i));
    }
    EXPECT_EQ(sampleTimeline(timeline, 0).envelope, 0.0) << session.id;
    EXPECT_EQ(sampleTimeline(timeline, timeline.durationS).envelope, 0.0) << session.id;
    EXPECT_EQ(sampleTimeline(timeline, timeline.durationS / 2).envelope, 1.0) << session.id;
    EXPECT_EQ(sampleTimeline(timeline, timeline.durationS + 5).time, timeline.durationS) << session.id;
  }
}

}  // namespace
}  // namespace solvera::session
