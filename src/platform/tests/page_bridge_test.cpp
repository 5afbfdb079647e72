// The page bridge's contract: which messages are accepted and the literal page calls.
#include "platform/page_bridge.hpp"

#include <gtest/gtest.h>

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

TEST(PageBridge, EveryPageCallIsTheLiteralScript) {
  EXPECT_EQ(pagecall::clipboardText(""), R"(window.solveraClipboardText([""].shift());)");
  EXPECT_EQ(pagecall::clipboardText("say \"hi\"\\\nnext/line"),
            R"(window.solveraClipboardText(["say \"hi\"\\\nnext\/line"].shift());)");
  EXPECT_EQ(pagecall::clipboardText("\xff"), R"(window.solveraClipboardText([""].shift());)")
      << "text the JSON writer cannot write gives the empty text";

  // Every other call does nothing when the page lacks its function.
  EXPECT_EQ(pagecall::musicLibraryDownloadStatus("failed", "a\"b"),
            R"(window.solveraMusicLibraryDownloadStatus?.("failed", "a\"b");)");
  EXPECT_EQ(pagecall::musicLibraryInstalled(false, "cancelled"),
            R"(window.solveraMusicLibraryInstalled?.(false, "cancelled");)");
  EXPECT_EQ(pagecall::sessionFileImported(true, "{\"a\":\"x/y\"}"),
            R"(window.solveraSessionFileImported?.(true, "{\"a\":\"x\/y\"}");)");
  EXPECT_EQ(pagecall::sessionFileExported(true, "saved"),
            R"(window.solveraSessionFileExported?.(true, "saved");)");
  // Events pass through unchanged, one per line.
  EXPECT_EQ(pagecall::museBridgeEvents({R"({"a":1})", R"({"b":2})"}),
            "window.solveraMuseBridgeEvents?.([\n{\"a\":1},\n{\"b\":2}\n]);");
  EXPECT_EQ(pagecall::museBridgeEvents({}), "window.solveraMuseBridgeEvents?.([\n\n]);");

  EXPECT_EQ(
      pagecall::webShortcut("toggleBlackout", "document.querySelector('#blackoutButton')?.click()"),
      "(() => {\n"
      "  if (typeof window.toggleBlackout === \"function\") {\n"
      "    window.toggleBlackout();\n"
      "    return true;\n"
      "  }\n"
      "  document.querySelector('#blackoutButton')?.click();\n"
      "  return Boolean(document.readyState === \"complete\");\n"
      "})()");
}
