// Program settings: the page's repair, the files, and carrying over a page's local storage.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/files.hpp"
#include "session/settings.hpp"
#include "session/tests/session_test_support.hpp"

namespace solvera::session {
// This file's own names: the test programs compile their files together in batches.
namespace settings_test {
namespace {

namespace fs = std::filesystem;

Json pageShape(const ProgramSettings& s) {
  Json out = Json(settingsToJson(s));
  out["audio"].erase("device");
  out["audio"].erase("latencyMs");
  out.erase("photosensitivityAccepted");
  return out;
}

TEST(Settings, RepairAgreesWithThePageAndSurvivesTheFile) {
  const Json messy = Json::array({
      nullptr,
      {{"language", "de"}, {"openAIKey", "  sk-x  "}},
      {{"light", {{"outputMode", "enttec-usb-pro"}, {"targetIp", " 10.0.0.7 "}, {"universe", "3"}, {"serialPort", " /dev/ttyUSB0"},
                  {"startAddress", 600}, {"channelLayout", "drgbw"}, {"fixtureCount", "4"}, {"channelSpacing", 2.5},
                  {"pulse", "yes"}, {"shortFrames", true}}},
       {"audio", {{"mode", "monaural"}, {"pulseShape", "Square"}, {"balance", -3}, {"bass", "7.5"}, {"mid", nullptr},
                  {"treble", "abc"}, {"noise", false}}},
       {"controls", {{"masterVolume", nullptr}, {"rgbIntensity", "0x20"}, {"whiteIntensity", 250}, {"audioEnabled", 0},
                     {"musicEnabled", false}}}},
      {{"light", {{"targetIp", "evil host;rm"}, {"universe", 1.5}, {"channelLayout", "toString"}}}, {"controls", "loud"}},
  });
  const std::optional<Json> page = askPage({{"settings", messy}});
  if (page) {
    for (std::size_t i = 0; i < messy.size(); ++i) {
      EXPECT_EQ(pageShape(normalizeSettings(messy[i])), (*page)["settings"][i]) << messy[i].dump();
    }
  } else {
    std::cout << kNoNode << "; only the program's own members are checked\n";
  }
  // The program's own members.
  const ProgramSettings own = normalizeSettings(
      {{"audio", {{"device", " USB Koptelefoon "}, {"latencyMs", "5000"}}}, {"photosensitivityAccepted", true}});
  EXPECT_EQ(own.audio.device, "USB Koptelefoon");
  EXPECT_EQ(own.audio.latencyMs, kMaxExtraLatencyMs);
  EXPECT_TRUE(own.photosensitivityAccepted);
  EXPECT_FALSE(normalizeSettings({{"photosensitivityAccepted", "yes"}}).photosensitivityAccepted)
      << "only a real yes counts as consent";
  EXPECT_EQ(normalizeSettings({{"audio", {{"latencyMs", -20}}}}).audio.latencyMs, 0);

  ScratchDir dir;
  SettingsStore store(dir.path() / "config/Solvera/settings.json", dir.path() / "data/own-sessions.json");
  EXPECT_FALSE(store.storedSettings().has_value());
  EXPECT_EQ(store.settings(), ProgramSettings{});
  ProgramSettings changed = normalizeSettings(messy[2]);
  changed.audio.latencyMs = 180;
  changed.audio.device = "USB Koptelefoon";
  changed.photosensitivityAccepted = true;
  ASSERT_TRUE(store.saveSettings(changed));
  EXPECT_EQ(store.storedSettings(), changed);
  struct stat info {};
  ASSERT_EQ(::stat((dir.path() / "config/Solvera/settings.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "the file holds the OpenAI key";
  // A damaged file is the program's own still (no carrying over on top of it); it reads as defaults.
  ASSERT_TRUE(writeFileAtomically(dir.path() / "config/Solvera/settings.json", "{not json"));
  EXPECT_EQ(store.storedSettings(), ProgramSettings{});
  // A folder that cannot be made: the save says so.
  ASSERT_TRUE(writeFileAtomically(dir.path() / "blocked", "a file"));
  SettingsStore blocked(dir.path() / "blocked/settings.json", dir.path() / "blocked/own.json");
  EXPECT_FALSE(blocked.saveSettings(changed));
  EXPECT_FALSE(blocked.putOwnSession({{"id", "x"}, {"phases", Json::array()}}));
}

Json session(const std::string& id, const std::string& title) {
  return {{"id", id}, {"title", title}, {"phases", {{{"audioFrequencyHz", "10"}}}}};
}

TEST(Settings, PageStorageIsCarriedOverOnceAndNothingIsLost) {
  ScratchDir dir;
  SettingsStore store(dir.path() / "settings.json", dir.path() / "own-sessions.json");
  ASSERT_TRUE(store.putOwnSession(session("b", "B in het programma")));
  ASSERT_TRUE(store.putOwnSession(session("a", "A")));
  const Json pageSessions = Json::array({session("a", "A"), session("b", "B zoals de pagina hem wijzigde"),
                                         session("c", "Nieuw op de pagina"), {{"title", "zonder id"}}, 7});
  const Json storage = {
      {"solvera.settings.v1", Json({{"light", {{"targetIp", "192.168.1.40"}}}, {"controls", {{"masterVolume", 55}}}}).dump()},
      {"solvera.photosensitivityAccepted.v1", "yes"},
      {"solvera.customSessions.v1", pageSessions.dump()}};

  const PageStorageMerge first = store.mergePageStorage(storage);
  EXPECT_TRUE(first.written);
  EXPECT_TRUE(first.settingsTaken);
  EXPECT_EQ(first.sessionsAdded, 1);
  EXPECT_EQ(first.sessionsAlreadyKept, 1);
  EXPECT_EQ(first.sessionsRefused, 2);
  ASSERT_EQ(first.renamed.size(), 1u);
  EXPECT_EQ(first.renamed[0], (std::pair<std::string, std::string>{"b", "b-2"}));
  const ProgramSettings taken = store.settings();
  EXPECT_EQ(taken.light.targetIp, "192.168.1.40");
  EXPECT_EQ(taken.controls.masterVolume, 55);
  EXPECT_TRUE(taken.photosensitivityAccepted);
  std::vector<std::string> titles;
  for (const Json& s : store.ownSessions()) titles.push_back(s["id"].get<std::string>() + ":" + s["title"].get<std::string>());
  // The program's first, then what the page adds, in the page's order.
  EXPECT_EQ(titles, (std::vector<std::string>{"a:A", "b:B in het programma", "b-2:B zoals de pagina hem wijzigde",
                                              "c:Nieuw op de pagina"}));

  // Again (a second page, or the same one reconnecting): nothing changes.
  const std::string before = readWholeFile(dir.path() / "own-sessions.json").value();
  ProgramSettings mine = taken;
  mine.controls.masterVolume = 20;
  ASSERT_TRUE(store.saveSettings(mine));
  const PageStorageMerge second = store.mergePageStorage(storage);
  EXPECT_FALSE(second.settingsTaken) << "the program's own settings stay";
  EXPECT_EQ(second.sessionsAdded, 0);
  EXPECT_EQ(second.sessionsAlreadyKept, 3);
  EXPECT_TRUE(second.renamed.empty());
  EXPECT_EQ(readWholeFile(dir.path() / "own-sessions.json").value(), before);
  EXPECT_EQ(store.settings().controls.masterVolume, 20);

  // Parsed values are taken as well as the texts local storage holds; a lone accepted warning
  // still counts while the program has no settings.
  ScratchDir other;
  SettingsStore fresh(other.path() / "settings.json", other.path() / "own.json");
  const PageStorageMerge onlyWarning = fresh.mergePageStorage(
      {{"solvera.photosensitivityAccepted.v1", "yes"}, {"solvera.customSessions.v1", Json::array({session("z", "Z")})}});
  EXPECT_TRUE(onlyWarning.settingsTaken);
  EXPECT_TRUE(fresh.settings().photosensitivityAccepted);
  EXPECT_EQ(fresh.ownSession("z").value()["title"], "Z");
  EXPECT_TRUE(fresh.removeOwnSession("z"));
  EXPECT_FALSE(fresh.ownSession("z").has_value());
}

}  // namespace
}  // namespace settings_test
}  // namespace solvera::session
