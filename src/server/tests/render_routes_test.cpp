// Renders for download and imports for the editor: a whole file with its name, one render at a
// time, a cancel that leaves nothing, and other players' files read with their notices.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/json.hpp"
#include "server/render_routes.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace render_routes_test {

using namespace solvera;
namespace fs = std::filesystem;

namespace {

Json sessionJson(const std::string& title, const std::string& end, double minutes) {
  return Json{{"id", "r"},
              {"title", title},
              {"durationMinutes", minutes},
              {"audioMode", "binaural"},
              {"carrierFrequencyHz", 200},
              {"phases", Json::array({Json{{"name", "Een"},
                                           {"start", "00:00"},
                                           {"end", end},
                                           {"audioFrequencyHz", "10"},
                                           {"lightFrequencyHz", "10"},
                                           {"colorHex", "#ff0000"},
                                           {"noiseType", "pink"},
                                           {"noiseVolume", 30}}})}};
}

Json replyJson(const std::string& bytes) {
  test::Reply reply{bytes};
  auto parsed = parseJson(reply.body());
  return parsed ? *parsed : Json();
}

class RenderRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("render-routes-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    // A file an earlier, killed run left behind.
    std::ofstream(folder / "render-old.wav") << "x";
    routes = std::make_unique<RenderRoutes>(RenderRoutes::Options{
        folder,
        [](const std::string& id) -> std::optional<session::Session> {
          if (id != "lang") return std::nullopt;
          return session::checkSession(sessionJson("Lang", "60:00", 60)).session;
        },
        [] { return session::ProgramSettings{}; }, folder / "no-music"});
  }
  void TearDown() override {
    routes.reset();
    EXPECT_FALSE(fs::exists(folder)) << "every render's file goes with the routes";
    fs::remove_all(folder);
  }

  // The render's state once it is no longer "rendering" (generous: a loaded machine).
  Json settled(const std::string& id) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    Json render;
    do {
      render = replyJson(routes->status(id))["render"];
      if (render["state"] != "rendering") return render;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < limit);
    ADD_FAILURE() << "the render did not end";
    return render;
  }

  fs::path folder;
  std::unique_ptr<RenderRoutes> routes;
};

TEST_F(RenderRoutesTest, RendersForDownloadOneAtATimeAndCancelsWithoutALeftover) {
  EXPECT_FALSE(fs::exists(folder / "render-old.wav"));

  // Six seconds at 44100 Hz, 16-bit stereo: a whole WAV named after the session.
  const Json started = replyJson(routes->start(Json{
      {"session", sessionJson("Rust: één/twee", "00:06", 0.1)},
      {"format", "wav"},
      {"bits", 16}}.dump()));
  ASSERT_EQ(started["ok"], true) << started.dump();
  const std::string id = started["render"]["id"];
  EXPECT_EQ(started["render"]["fileName"], "Rust- één-twee.wav");
  const Json done = settled(id);
  ASSERT_EQ(done["state"], "done") << done.dump();
  EXPECT_EQ(done["fraction"], 1.0);
  const http::Response download = routes->file(id);
  ASSERT_TRUE(download.file) << download.bytes;
  const std::string whole = download.flattened();
  const test::Reply reply{whole};
  EXPECT_EQ(reply.statusLine(), "HTTP/1.1 200 OK");
  EXPECT_NE(reply.head().find("Content-Type: audio/wav\r\n"), std::string::npos) << reply.head();
  EXPECT_NE(reply.head().find("Content-Disposition: attachment; filename=\"Rust- __n-twee.wav\"; "
                              "filename*=UTF-8''Rust-%20%C3%A9%C3%A9n-twee.wav\r\n"),
            std::string::npos)
      << reply.head();
  const std::string body = reply.body();
  ASSERT_GE(body.size(), 44u);
  EXPECT_EQ(body.substr(0, 4), "RIFF");
  EXPECT_EQ(body.size(), 44u + 6u * 44100u * 4u) << "six seconds of 16-bit stereo after the header";

  // A long render: a second one is refused while it runs; a cancel ends it and leaves no file.
  const Json longOne =
      replyJson(routes->start(Json{{"sessionId", "lang"}, {"format", "flac"}}.dump()));
  ASSERT_EQ(longOne["ok"], true) << longOne.dump();
  const std::string longId = longOne["render"]["id"];
  EXPECT_EQ(replyJson(routes->file(id).bytes)["error"], "not_found")
      << "a new render replaces the last file";
  const Json busy = replyJson(routes->start(Json{{"sessionId", "lang"}}.dump()));
  EXPECT_EQ(busy["error"], "rendering");
  EXPECT_EQ(replyJson(routes->cancel(longId))["ok"], true);
  EXPECT_EQ(settled(longId)["state"], "cancelled");
  EXPECT_FALSE(routes->file(longId).file);
  EXPECT_TRUE(fs::is_empty(folder));

  // Refusals: no such session, a format the writer does not know, a session the model refuses.
  EXPECT_EQ(replyJson(routes->start(Json{{"sessionId", "weg"}}.dump()))["error"], "not_found");
  EXPECT_EQ(
      replyJson(routes->start(Json{{"sessionId", "lang"}, {"format", "../x.wav"}}.dump()))["error"],
      "invalid_format");
  EXPECT_EQ(replyJson(routes->start(Json{{"session", Json{{"title", "x"}}}}.dump()))["error"],
            "invalid_session");
  EXPECT_EQ(replyJson(routes->start(R"({"sessionId":"lang","bits":"veel","music":3})"))["ok"], true)
      << "odd option values fall back to the defaults";
}

TEST(RenderRoutesImport, ReadsOtherPlayersFilesWithNoticesAndNamesTheBrokenLine) {
  const Json sbg = replyJson(RenderRoutes::importFile(Json{
      {"fileName", "Avond.SBG"},
      {"text",
       "base: 200+10/50 pink/30\nspin: spin:300+4/80\n\nNOW base\nNOW+00:05 spin\nNOW+00:10 off\n"}}
                                                          .dump()));
  ASSERT_EQ(sbg["ok"], true) << sbg.dump();
  EXPECT_FALSE(sbg["session"]["phases"].empty());
  bool spin = false;
  for (const Json& notice : sbg["notices"]) {
    if (notice["kind"] == "spin") {
      spin = true;
      EXPECT_EQ(notice["lines"], Json::array({2})) << notice.dump();
      EXPECT_FALSE(notice["nl"].get<std::string>().empty());
      EXPECT_FALSE(notice["en"].get<std::string>().empty());
    }
  }
  EXPECT_TRUE(spin) << "a spin voice is named, not dropped: " << sbg["notices"].dump();

  const std::string broken = RenderRoutes::importFile(
      Json{{"fileName", "kapot.sbg"}, {"text", "a: 200+10/50\n\nNOW a\nhalf negen b\n"}}.dump());
  EXPECT_EQ(test::Reply{broken}.statusLine(), "HTTP/1.1 400 Bad Request");
  const Json refused = replyJson(broken);
  EXPECT_EQ(refused["ok"], false);
  EXPECT_EQ(refused["error"]["line"], 4) << refused.dump();
  EXPECT_NE(refused["error"]["nl"].get<std::string>().find("4"), std::string::npos);

  EXPECT_EQ(replyJson(RenderRoutes::importFile(R"({"text":"x"})"))["error"], "invalid_import");
}

}  // namespace

}  // namespace render_routes_test
