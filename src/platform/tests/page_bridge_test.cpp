// The page bridge's contract: the messages accepted, and what the page receives of each call.
#include "platform/page_bridge.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "common/json.hpp"
#include "platform/tests/desktop_session.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace page_bridge_test {

using namespace solvera;
using Kind = ScriptMessageAction::Kind;

TEST(PageBridge, ScriptMessagesAcceptExactlyTheListedBodies) {
  EXPECT_EQ(scriptMessageNames(),
            (std::vector<std::string>{"musicLibrary", "sessionFiles", "clipboard", "analysisPrint",
                                      "museBridge", "editingFocus"}))
      << "registered in this order";
  auto action = [](const std::string& name, const char* body) {
    return scriptMessageAction(name, Json::parse(body));
  };
  for (const char* body : {"null", "\"x\"", "{}", "[1]", "42"}) {
    auto bridge = action("museBridge", body);
    ASSERT_TRUE(bridge) << body;
    EXPECT_EQ(bridge->kind, Kind::restartMuseBridge) << "museBridge does not read its body";
  }
  EXPECT_EQ(action("musicLibrary", R"("install")")->kind, Kind::installMusicLibrary);
  EXPECT_EQ(action("clipboard", R"("readText")")->kind, Kind::readClipboard);
  EXPECT_EQ(action("sessionFiles", R"({"action":"import","extra":1})")->kind,
            Kind::importSessionFile);

  auto exported =
      action("sessionFiles", R"({"action":"export","filename":"a.svpsession","content":"{}"})");
  ASSERT_TRUE(exported);
  EXPECT_EQ(exported->kind, Kind::exportSessionFile);
  EXPECT_EQ(exported->filename, "a.svpsession");
  EXPECT_EQ(exported->content, "{}");

  auto print = action("analysisPrint", R"({"html":"<p>x</p>","title":"Rapport"})");
  ASSERT_TRUE(print);
  EXPECT_EQ(print->html, "<p>x</p>");
  EXPECT_EQ(print->title, "Rapport");
  EXPECT_EQ(action("analysisPrint", R"({"html":"<p>"})")->title, "Solvera Pro sessieanalyse");
  EXPECT_TRUE(action("editingFocus", "true")->editing);
  EXPECT_FALSE(action("editingFocus", "false")->editing);
  EXPECT_EQ(action("analysisPrint", R"({"html":"<p>","title":7})")->title,
            "Solvera Pro sessieanalyse")
      << "a non-text title becomes the default";

  const std::vector<std::pair<std::string, const char*>> ignored = {
      {"unknown", R"("install")"},
      {"MusicLibrary", R"("install")"},
      {"musicLibrary", R"({"action":"install"})"},
      {"musicLibrary", R"("Install")"},
      {"musicLibrary", "null"},
      {"clipboard", R"("readtext")"},
      {"clipboard", R"(["readText"])"},
      {"clipboard", R"({"readText":true})"},
      {"sessionFiles", R"("import")"},
      {"sessionFiles", R"({"action":"delete"})"},
      {"sessionFiles", R"({"action":1})"},
      {"sessionFiles", R"({})"},
      {"sessionFiles", R"({"action":"export","filename":7,"content":"x"})"},
      {"sessionFiles", R"({"action":"export","filename":"a"})"},
      {"sessionFiles", R"({"action":"export","content":"x"})"},
      {"sessionFiles", R"({"action":"export","filename":"a","content":null})"},
      {"analysisPrint", R"({"title":"x"})"},
      {"analysisPrint", R"({"html":5})"},
      {"analysisPrint", R"("<p>")"},
      {"editingFocus", R"("true")"},
      {"editingFocus", "null"},
      {"editingFocus", R"({"editing":true})"},
  };
  for (const auto& [name, body] : ignored) {
    EXPECT_FALSE(action(name, body)) << name << " " << body;
  }
}

TEST(PageBridge, OneLinePageCallsAreTheLiteralScript) {
  EXPECT_EQ(pagecall::clipboardText(""), R"(window.solveraClipboardText([""].shift());)");
  // Every other call does nothing when the page lacks its function.
  EXPECT_EQ(pagecall::musicLibraryDownloadStatus("failed", "a\"b"),
            R"(window.solveraMusicLibraryDownloadStatus?.("failed", "a\"b");)");
  EXPECT_EQ(pagecall::sessionFileExported(true, "saved"),
            R"(window.solveraSessionFileExported?.(true, "saved");)");
}

// Both sides of the contract, as they run: the program's scripts evaluated against the page's
// own bridge (public/js/page-bridge.js) in node. A name that one side renames, a message the
// program does not register, or an argument that arrives altered fails here, without a window.
TEST(PageBridge, ThePageKnowsEveryNameAndReceivesEveryCallIntact) {
  const char* sourceDir = std::getenv("SOLVERA_SOURCE_DIR");
  auto node = test::findProgram("node");
  if (!sourceDir || !node) GTEST_SKIP() << "needs node and SOLVERA_SOURCE_DIR";
  const std::string root = sourceDir;

  struct Call {
    std::string script;
    const char* function;
    Json arguments;
  };
  const std::string awkward = "say \"hi\"\\\n</script>\u2028\xc3\xa9";
  const std::vector<Call> calls = {
      {pagecall::musicLibraryDownloadStatus("failed", awkward), "solveraMusicLibraryDownloadStatus",
       Json::array({"failed", awkward})},
      {pagecall::musicLibraryInstalled(true, "24"), "solveraMusicLibraryInstalled",
       Json::array({true, "24"})},
      {pagecall::sessionFileImported(true, R"({"title":"a/b"})"), "solveraSessionFileImported",
       Json::array({true, R"({"title":"a/b"})"})},
      {pagecall::sessionFileExported(false, "cancelled"), "solveraSessionFileExported",
       Json::array({false, "cancelled"})},
      {pagecall::clipboardText(awkward), "solveraClipboardText", Json::array({awkward})},
      {pagecall::clipboardText("\xff"), "solveraClipboardText", Json::array({""})},
      {pagecall::museBridgeEvents({R"({"a":1})", R"({"b":[2]})"}), "solveraMuseBridgeEvents",
       Json::parse(R"([[{"a":1},{"b":[2]}]])")},
      {pagecall::museBridgeEvents({}), "solveraMuseBridgeEvents", Json::parse("[[]]")},
  };
  const std::vector<std::pair<const char*, const char*>> toggles = {
      {kBreathingFunction, kBreathingFallback}, {kBlackoutFunction, kBlackoutFallback}};
  Json input = {{"calls", Json::array()}, {"shortcuts", Json::array()}};
  for (const auto& call : calls) input["calls"].push_back(call.script);
  for (const auto& [function, fallback] : toggles) {
    input["shortcuts"].push_back(
        {{"function", function}, {"script", pagecall::webShortcut(function, fallback)}});
  }
  auto run = test::runTool({*node, root + "/src/platform/tests/page_bridge_probe.mjs",
                            root + "/public/js/page-bridge.js", input.dump()},
                           test::environmentWith({}));
  ASSERT_EQ(run.status, 0) << run.output;
  auto page = parseJson(run.output);
  ASSERT_TRUE(page) << run.output;

  auto sorted = [](std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(sorted(page->at("messages").get<std::vector<std::string>>()),
            sorted(scriptMessageNames()))
      << "the messages the page may post are the ones registered on the web view";

  std::set<std::string> called;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const Json& outcome = page->at("received").at(i);
    EXPECT_TRUE(outcome.at("error").is_null()) << calls[i].script << "\n" << outcome.dump();
    ASSERT_EQ(outcome.at("reached").size(), 1u) << calls[i].script << " reaches no page function";
    const Json& reached = outcome.at("reached").at(0);
    EXPECT_EQ(reached.at("name"), calls[i].function) << calls[i].script;
    EXPECT_EQ(reached.at("args"), calls[i].arguments) << calls[i].script;
    called.insert(calls[i].function);
  }
  EXPECT_EQ(called, page->at("notifications").get<std::set<std::string>>())
      << "every page function the bridge waits for is one the program calls";

  EXPECT_EQ(sorted(page->at("toggles").get<std::vector<std::string>>()),
            sorted({kBreathingFunction, kBlackoutFunction}));
  for (std::size_t i = 0; i < toggles.size(); ++i) {
    const auto& [function, fallback] = toggles[i];
    const Json& outcome = page->at("shortcuts").at(i);
    SCOPED_TRACE(function);
    const std::string selector = std::string(fallback).substr(
        std::string(fallback).find('\'') + 1,
        std::string(fallback).rfind('\'') - std::string(fallback).find('\'') - 1);
    // The page's function: called once, answered true, nothing clicked.
    EXPECT_EQ(
        outcome.at("registered"),
        Json({{"result", true}, {"called", 1}, {"clicked", Json::array()}, {"error", nullptr}}));
    // Without it the button is clicked; the answer says whether the page has loaded.
    EXPECT_EQ(outcome.at("loading"), Json({{"result", false},
                                           {"called", 0},
                                           {"clicked", Json::array({selector})},
                                           {"error", nullptr}}));
    EXPECT_EQ(outcome.at("loaded").at("result"), true);
  }
}

}  // namespace page_bridge_test
