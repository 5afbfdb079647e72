// The program's timeline, session checks and light frames against the page's own modules
// (public/js timeline.js, session-file.js, dmx-frame.js, run by node): every library session and
// a set of odd ones, sampled at over a thousand moments each, glide and fade edges included.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "audio/audio_limits.hpp"
#include "common/files.hpp"
#include "session/light_look.hpp"
#include "session/session_model.hpp"
#include "session/timeline.hpp"
#include "session/tests/session_test_support.hpp"

namespace solvera::session {
// This file's own names: the test programs compile their files together in batches.
namespace page_agreement_test {
namespace {

namespace fs = std::filesystem;

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
    if (ours.problem.reason == "limits" &&
        (detail["value"] != ours.problem.value || detail["min"] != ours.problem.min || detail["max"] != ours.problem.max)) {
      return "problem range " + detail.dump();
    }
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
  const fs::path source = sourceDir();
  const Json library = Json::parse(readWholeFile(source / "public/sessions/library.json").value());
  const Json extra = Json::parse(readWholeFile(source / "src/session/tests/timeline_cases.json").value());
  Json cases = Json::array();
  for (const Json& s : library["sessions"]) cases.push_back({{"session", s}, {"raw", true}});
  for (const Json& c : extra["cases"]) cases.push_back(c);
  ASSERT_GE(library["sessions"].size(), 20u);
  // The page checks against the tone generator's table as the program reports it.
  const Json limits = {{"beatHz", {{"min", kBeatRangeHz.min}, {"max", kBeatRangeHz.max}}},
                       {"carrierHz", {{"min", kCarrierRangeHz.min}, {"max", kCarrierRangeHz.max}}}};
  const std::optional<Json> page = askPage({{"moments", 1000}, {"audioLimits", limits}, {"cases", cases}});
  if (!page) GTEST_SKIP() << kNoNode;
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

// Every fixture layout, packed and spaced, near the end of the universe, with colour, white and
// dark looks; and the look of a moment from intensities, controls and the fade.
TEST(LightLook, FramesAndLooksAgreeWithThePage) {
  Json frames = Json::array();
  const Json looks = Json::array({{{"r", 200}, {"g", 100}, {"b", 50}, {"white", 0}},
                                  {{"r", 200}, {"g", 100}, {"b", 50}, {"white", 120}},
                                  {{"r", 0}, {"g", 0}, {"b", 0}, {"white", 0}},
                                  {{"r", 250}, {"g", 0}, {"b", 0}, {"white", 30}}});
  for (const char* layout : {"rgb", "rgbw", "drgb", "drgbw", "rgbd", "rgbwd", "dimmer", "nonsense"}) {
    for (const Json& shape : Json::array({{{"startAddress", 1}, {"fixtureCount", 1}, {"channelSpacing", 0}},
                                          {{"startAddress", 10}, {"fixtureCount", 3}, {"channelSpacing", 8}},
                                          {{"startAddress", 505}, {"fixtureCount", 4}, {"channelSpacing", 2}},
                                          {{"startAddress", "7"}, {"fixtureCount", 2.5}, {"channelSpacing", -1}}})) {
      for (const Json& look : looks) {
        Json l = shape;
        l["channelLayout"] = layout;
        frames.push_back({{"layout", l}, {"look", look}});
      }
    }
  }
  Json lookQuestions = Json::array();
  for (double envelope : {0.0, 0.37, 1.0}) {
    for (double rgbControl : {0.0, 55.0, 100.0}) {
      Json sample = {{"color", {{"r", 74}, {"g", 127.5}, {"b", 193}}}, {"rgbIntensity", 35}, {"whiteIntensity", 12.5},
                     {"envelope", envelope}};
      lookQuestions.push_back({{"sample", sample}, {"controls", {{"rgbIntensity", rgbControl}, {"whiteIntensity", 80}}}});
    }
  }
  const std::optional<Json> page = askPage({{"frames", frames}, {"looks", lookQuestions}});
  if (!page) GTEST_SKIP() << kNoNode;
  ASSERT_EQ((*page)["frames"].size(), frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const Json& look = frames[i]["look"];
    const DmxFrame ours = buildDmxFrame(normalizeFixtureLayout(frames[i]["layout"]),
                                        LightLook{look["r"], look["g"], look["b"], look["white"]});
    const Json& theirs = (*page)["frames"][i];
    EXPECT_EQ(Json(ours.dmx), theirs["dmx"]) << frames[i].dump();
    EXPECT_EQ(Json(ours.pulseChannels), theirs["pulseChannels"]) << frames[i].dump();
  }
  for (std::size_t i = 0; i < lookQuestions.size(); ++i) {
    const Json& q = lookQuestions[i];
    TimelineValues v;
    v.r = 74;
    v.g = 127.5;
    v.b = 193;
    v.rgbIntensity = 35;
    v.whiteIntensity = 12.5;
    Controls controls;
    controls.rgbIntensity = q["controls"]["rgbIntensity"];
    controls.whiteIntensity = 80;
    const LightLook ours = lightLook(v, q["sample"]["envelope"], controls);
    const Json& theirs = (*page)["looks"][i];
    EXPECT_EQ(ours, (LightLook{theirs["r"], theirs["g"], theirs["b"], theirs["white"]})) << q.dump();
  }
}

// The frame of two RGBW-with-dimmer fixtures, byte by byte.
TEST(LightLook, DimmerFixturesPulseOnlyTheirDimmer) {
  const FixtureLayout layout{3, "drgbw", 2, 6};
  const DmxFrame frame = buildDmxFrame(layout, LightLook{10, 20, 30, 40});
  const std::vector<std::uint8_t> expected{
      0,   0,                // channels 1-2 unused
      255, 10, 20, 30, 40,   // fixture 1: dimmer full, red, green, blue, white
      0,                     // the spacing's gap
      255, 10, 20, 30, 40};  // fixture 2
  EXPECT_EQ(frame.dmx, expected);
  EXPECT_EQ(frame.pulseChannels, (std::vector<std::int64_t>{3, 9}));
  // Dark: the dimmers close too.
  EXPECT_EQ(buildDmxFrame(layout, LightLook{}).dmx, std::vector<std::uint8_t>(13, 0));
}

}  // namespace
}  // namespace page_agreement_test
}  // namespace solvera::session
