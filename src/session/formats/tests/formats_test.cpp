// The SBaGen and Gnaural readers on a corpus written from the formats' descriptions: phases,
// glides and noise as the files play, a notice for every construct a session cannot hold, and
// the line of whatever makes a file unreadable.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "session/formats/gnaural_format.hpp"
#include "session/formats/sbg_format.hpp"
#include "session/timeline.hpp"

namespace solvera::session {
// This file's own names: the test programs compile their files together in batches.
namespace formats_test {
namespace {

std::string corpus(const std::string& name) {
  std::ifstream in(std::string(SOLVERA_FORMATS_CORPUS) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Expected {
  std::string start, end, beat, carrier;
  double pulse;
  double noise;
  std::string noiseType;  // "" for none
};

void expectPhases(const ImportResult& result, const std::vector<Expected>& expected) {
  ASSERT_TRUE(result) << failureText(result.failure, false);
  const OrderedJson& phases = (*result.session)["phases"];
  ASSERT_EQ(phases.size(), expected.size()) << phases.dump(1);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const OrderedJson& p = phases[i];
    const Expected& e = expected[i];
    SCOPED_TRACE("phase " + std::to_string(i + 1) + ": " + p.dump());
    EXPECT_EQ(p["start"], e.start);
    EXPECT_EQ(p["end"], e.end);
    EXPECT_EQ(p["audioFrequencyHz"], e.beat);
    EXPECT_EQ(p["carrierFrequencyHz"], e.carrier);
    EXPECT_NEAR(p["pulseVolume"].get<double>(), e.pulse, 0.01);
    EXPECT_NEAR(p["noiseVolume"].get<double>(), e.noise, 0.01);
    EXPECT_EQ(p.value("noiseType", ""), e.noiseType);
    EXPECT_EQ(p["rgbIntensity"], 0) << "the files carry no light";
    EXPECT_EQ(p["musicVolume"], 0);
  }
}

// The notice kinds with their lines, in order.
std::vector<std::pair<std::string, std::vector<int>>> kinds(const ImportResult& result) {
  std::vector<std::pair<std::string, std::vector<int>>> out;
  for (const ImportNotice& n : result.notices) out.emplace_back(n.kind, n.lines);
  return out;
}

using Kinds = std::vector<std::pair<std::string, std::vector<int>>>;

TEST(SbgReader, SlidesNamedToneSetsAndNoise) {
  const ImportResult r = readSbg(corpus("slide.sbg"), "slide.sbg");
  expectPhases(r, {{"00:00", "05:00", "10 \u2192 6", "200 \u2192 180", 20, 30, "pink"},
                   {"05:00", "15:00", "6", "180", 22, 35, "pink"},
                   {"15:00", "25:00", "4", "180", 22, 35, "brown"}});
  const OrderedJson& s = *r.session;
  EXPECT_EQ(s["title"], "slide");
  EXPECT_EQ(s["goal"], "Evening: from alpha down to theta");
  EXPECT_EQ(s["audioMode"], "binaural");
  EXPECT_EQ(s["phases"][0]["name"], "alpha10");
  EXPECT_EQ(kinds(r), (Kinds{{"no-light", {}}})) << "nothing of this file is left out";
}

TEST(SbgReader, BlocksClockTimesPastMidnightAndIsochronicTones) {
  const ImportResult r = readSbg(corpus("blocks.sbg"), "blocks.sbg");
  expectPhases(r, {{"00:00", "05:00", "8", "300", 30, 20, "white"},
                   {"05:00", "10:00", "8", "300", 0, 20, "white"},
                   {"10:00", "15:00", "8", "300", 30, 20, "white"},
                   {"15:00", "30:00", "8", "300", 0, 20, "white"}});
  EXPECT_EQ((*r.session)["audioMode"], "isochronic");
  EXPECT_EQ(kinds(r), (Kinds{{"clock-times", {}}, {"no-light", {}}}));
  EXPECT_NE(r.notices[0].nl.find("23:50"), std::string::npos) << r.notices[0].nl;
}

TEST(SbgReader, NamesEveryConstructItCannotHold) {
  const ImportResult r = readSbg(corpus("refused.sbg"), "refused.sbg");
  expectPhases(r, {{"00:00", "02:00", "1.5", "100", 20, 40, "pink"},
                   {"02:00", "04:00", "1.5", "100", 0, 0, ""},
                   {"04:00", "06:00", "4", "200", 50, 0, ""},
                   {"06:00", "08:00", "0.1", "150", 30, 0, ""},
                   {"08:00", "10:00", "6", "203", 40, 10, "brown"},
                   {"10:00", "12:00", "5", "220", 25, 0, ""}});
  EXPECT_EQ((*r.session)["phases"][5]["audioPulseShape"], "square");
  EXPECT_EQ(kinds(r), (Kinds{{"mix", {2, 6}},
                             {"second-voice", {4}},
                             {"spin", {5}},
                             {"bell", {5}},
                             {"custom-waveform", {6}},
                             {"fade-silence", {13}},
                             {"beat-range", {14}},
                             {"mode", {15}},
                             {"no-light", {}}}));
  for (const ImportNotice& n : r.notices) {
    EXPECT_FALSE(n.nl.empty());
    EXPECT_FALSE(n.en.empty());
  }
  EXPECT_EQ(noticeText(r.notices[0], true).rfind("Regels 2, 6: ", 0), 0u) << noticeText(r.notices[0], true);
  EXPECT_EQ(noticeText(r.notices[1], false).rfind("Line 4: ", 0), 0u);
}

TEST(SbgReader, ImmediateToneSetWithALength) {
  const ImportResult r = readSbg(corpus("immediate.sbg"), "dir/immediate.sbg");
  expectPhases(r, {{"00:00", "20:00", "10", "200", 10, 40, "pink"}});
  EXPECT_EQ((*r.session)["title"], "immediate");
  EXPECT_EQ(kinds(r), (Kinds{{"no-light", {}}}));
}

TEST(SbgReader, MalformedLinesFailWithTheirNumber) {
  struct Case {
    const char* text;
    int line;
    const char* words;  // in the Dutch message
  };
  const Case cases[] = {
      {"a: 200+10/20\nNOW a\nNOW+00:10 b\n", 3, "Onbekende toonset"},
      {"a: 200+1x/20\nNOW a\n", 1, "geen geldige toon"},
      {"a: 200+10\nNOW a\n", 1, "amplitude ontbreekt"},
      {"a: pink/10\nNOW+00:10 a\nNOW+00:05 a\n", 3, "op volgorde"},
      {"a: pink/10\n\nb: {\n +00:00 a\n", 3, "niet met } gesloten"},
      {"-p drop 00ds+\n", 1, "Ingebouwde"},
      {"a: pink/10\n+00:10 a\n", 2, "relatieve tijd"},
      {"a: pink/10\nNOW a\n12:00 a\n", 3, "Kloktijden en NOW"},
      {"a: pink/10\n25:61 a\n", 2, "geen tijd"},
      {"a: pink/10\nb: {\n  12:00 a\n}\nNOW b\n", 3, "relatieve tijden"},
      {"a: pink/10\na: pink/20\n", 2, "al eerder"},
      {"a: pink/10\nNOW <x a\n", 2, "geen naam"},
      {"# only a comment\n", 0, "geen tijdregels"},
      {"a: pink/10\nb: {\n +00:00 b\n}\nNOW b\n", 3, "eindeloos"},
  };
  for (const Case& c : cases) {
    const ImportResult r = readSbg(c.text, "x.sbg");
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.failure.line, c.line) << c.text << "\n" << r.failure.nl;
    EXPECT_NE(r.failure.nl.find(c.words), std::string::npos) << c.text << "\n" << r.failure.nl;
    EXPECT_FALSE(r.failure.en.empty());
  }
}

TEST(GnauralReader, EntriesGlideToTheNextAndTheScheduleRepeats) {
  const ImportResult r = readGnaural(corpus("schedule.gnaural"), "schedule.gnaural");
  // A zero-length entry is a jump: the first entry glides to it, the next starts afresh; the
  // last glides back to the first, and the whole plays twice.
  expectPhases(r, {{"00:00", "02:00", "10 \u2192 6", "200 \u2192 180", 50, 20, "pink"},
                   {"02:00", "06:00", "4", "180", 60, 20, "pink"},
                   {"06:00", "10:00", "4 \u2192 10", "180 \u2192 200", 60, 20, "pink"},
                   {"10:00", "12:00", "10 \u2192 6", "200 \u2192 180", 50, 20, "pink"},
                   {"12:00", "16:00", "4", "180", 60, 20, "pink"},
                   {"16:00", "20:00", "4 \u2192 10", "180 \u2192 200", 60, 20, "pink"}});
  EXPECT_EQ((*r.session)["title"], "Descent");
  EXPECT_EQ((*r.session)["goal"], "Alpha down to theta and back (Tests)");
  EXPECT_EQ(kinds(r), (Kinds{{"level-ramp", {32}}, {"no-light", {}}}));
}

TEST(GnauralReader, NamesEveryVoiceAndSettingItCannotHold) {
  const ImportResult r = readGnaural(corpus("voices.gnaural"), "voices.gnaural");
  expectPhases(r, {{"00:00", "02:00", "12", "250", 45, 0, ""}});
  EXPECT_EQ((*r.session)["audioMode"], "isochronic");
  EXPECT_EQ(kinds(r), (Kinds{{"muted", {8}},
                             {"second-voice", {26}},
                             {"audio-file", {33}},
                             {"alternating-isochronic", {40}},
                             {"water-drops", {46}},
                             {"rain", {52}},
                             {"mono", {16}},
                             {"balance", {22}},
                             {"stereo-swap", {}},
                             {"endless", {}},
                             {"no-light", {}}}));
}

TEST(GnauralReader, MalformedFilesFailWithTheirLine) {
  struct Case {
    std::string text;
    int line;
    const char* words;
  };
  const std::string head = "<?xml version=\"1.0\"?>\n<schedule>\n<voice>\n<type>0</type>\n<entries>\n";
  const Case cases[] = {
      {head + "<entry duration=\"10\" volume_left=\"1\" volume_right=\"1\" beatfreq=\"x\" basefreq=\"200\"/>\n", 6, "geen getal"},
      {head + "<entry duration=\"10\" volume_left=\"1\" volume_right=\"1\" basefreq=\"200\"/>\n", 6, "beatfreq"},
      {head + "<entry duration=\"10\"\n volume_left=\"1\" volume_right=\"1\" beatfreq=\"4\" basefreq=\"200\">\n</entries>\n", 8, "niet goed gevormd"},
      {"<?xml version=\"1.0\"?>\n<playlist/>\n", 2, "geen Gnaural-schema"},
      {head + "</entries>\n</voice>\n</schedule>\n", 0, "geen binaurale"},
      {"", 0, "leeg"},
  };
  for (const Case& c : cases) {
    const ImportResult r = readGnaural(c.text, "x.gnaural");
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.failure.line, c.line) << c.text << "\n" << r.failure.nl;
    EXPECT_NE(r.failure.nl.find(c.words), std::string::npos) << c.text << "\n" << r.failure.nl;
  }
}

TEST(GnauralReader, LongSchedulesAreMergedIntoTheSessionsPhasesWithTheirDeviation) {
  // 600 entries of 10 s: the beat follows a slow wave, the carrier stays.
  std::string text = "<schedule><title>Wave</title><voice><type>0</type><entries>\n";
  for (int i = 0; i < 600; ++i) {
    const double beat = 8 + 2 * std::sin(i * 0.05);
    text += "<entry duration=\"10\" volume_left=\"0.5\" volume_right=\"0.5\" beatfreq=\"" + std::to_string(beat) +
            "\" basefreq=\"200\"/>\n";
  }
  text += "</entries></voice></schedule>";
  const ImportResult r = readGnaural(text, "wave.gnaural");
  ASSERT_TRUE(r) << failureText(r.failure, false);
  const OrderedJson& phases = (*r.session)["phases"];
  EXPECT_EQ(phases.size(), 64u);
  EXPECT_EQ(phases.back()["end"], "1:40:00");
  ASSERT_EQ(r.notices.front().kind, "merged");
  EXPECT_NE(r.notices.front().nl.find("600 stukken"), std::string::npos) << r.notices.front().nl;
  // Sampled between phase bounds the glides stay near the file's wave.
  double worst = 0;
  for (const OrderedJson& p : phases) {
    const std::string beat = p["audioFrequencyHz"];
    const std::size_t arrow = beat.find("\u2192");
    const double from = std::stod(beat.substr(0, arrow));
    const double to = arrow == std::string::npos ? from : std::stod(beat.substr(arrow + 3));
    auto seconds = [](const std::string& t) {
      int h = 0, m = 0, s = 0;
      if (std::count(t.begin(), t.end(), ':') == 2) {
        std::sscanf(t.c_str(), "%d:%d:%d", &h, &m, &s);
      } else {
        std::sscanf(t.c_str(), "%d:%d", &m, &s);
      }
      return h * 3600 + m * 60 + s;
    };
    const int a = seconds(p["start"]);
    const int b = seconds(p["end"]);
    for (int t = a; t < b; t += 10) {
      const double k = static_cast<double>(t - a) / (b - a);
      const double here = from + (to - from) * k;
      const double file = 8 + 2 * std::sin(t / 10 * 0.05);
      worst = std::max(worst, std::fabs(here - file));
    }
  }
  EXPECT_LT(worst, 0.1) << "64 straight pieces follow the wave";
}

TEST(ImportedSessions, PassTheSessionChecksAsThePageImportsThem) {
  for (const char* name : {"slide.sbg", "blocks.sbg", "refused.sbg", "immediate.sbg", "schedule.gnaural", "voices.gnaural"}) {
    const std::string file = name;
    const ImportResult r = file.ends_with(".sbg") ? readSbg(corpus(file), file) : readGnaural(corpus(file), file);
    ASSERT_TRUE(r) << name;
    const SessionCheck checked = checkSession(Json::parse(r.session->dump()));
    EXPECT_TRUE(checked) << name << ": " << checked.problem.message();
  }
}

TEST(SbgWriter, EveryLibrarySessionReadsBackToItsPhases) {
  std::ifstream in(std::string(SOLVERA_TEST_SOURCE_DIR) + "/public/sessions/library.json");
  std::stringstream text;
  text << in.rdbuf();
  const std::vector<Session> library = parseSessionLibrary(text.str());
  ASSERT_GT(library.size(), 20u);
  for (const Session& original : library) {
    SCOPED_TRACE(original.id);
    const std::string sbg = writeSbg(original);
    const ImportResult r = readSbg(sbg, original.id + ".sbg");
    ASSERT_TRUE(r) << failureText(r.failure, true) << "\n" << sbg;
    EXPECT_EQ(kinds(r), (Kinds{{"no-light", {}}})) << sbg;
    const SessionCheck back = checkSession(Json::parse(r.session->dump()));
    ASSERT_TRUE(back) << back.problem.message();
    EXPECT_EQ(back.session->title, original.title);
    EXPECT_EQ(back.session->audioMode.value_or("binaural"), original.audioMode.value_or("binaural"));
    const Timeline a = buildTimeline(original);
    const Timeline b = buildTimeline(*back.session);
    ASSERT_EQ(b.phases.size(), a.phases.size()) << sbg;
    for (std::size_t i = 0; i < a.phases.size(); ++i) {
      const TimelinePhase& p = a.phases[i];
      const TimelinePhase& q = b.phases[i];
      SCOPED_TRACE("phase " + std::to_string(i + 1));
      EXPECT_EQ(q.startS, p.startS);
      EXPECT_EQ(q.endS, p.endS);
      for (auto [x, y] : {std::pair{p.start, q.start}, std::pair{p.end, q.end}}) {
        EXPECT_NEAR(y.beatHz, x.beatHz, 0.01);
        EXPECT_NEAR(y.carrierHz, x.carrierHz, 0.01);
        EXPECT_NEAR(y.pulseVolume, x.pulseVolume, 0.01);
        EXPECT_NEAR(y.noiseVolume, x.noiseVolume, 0.01);
      }
      if (p.start.noiseVolume > 0) {
        EXPECT_EQ(q.discrete.noiseType, p.discrete.noiseType);
      }
    }
    // And the sound between the phase bounds, glides in included, is the same.
    for (double t = 0; t < a.durationS; t += 7) {
      const TimelineSample x = sampleTimeline(a, t);
      const TimelineSample y = sampleTimeline(b, t);
      EXPECT_NEAR(y.values.beatHz, x.values.beatHz, 0.01) << t;
      EXPECT_NEAR(y.values.carrierHz, x.values.carrierHz, 0.01) << t;
    }
  }
}

}  // namespace
}  // namespace formats_test
}  // namespace solvera::session
