// The desktop shell's logic over the fakes: script-message dispatch, clipboard reply, new
// windows, file input, first load, key filters, toggles with their debounce and retries, the
// menu, the input log, media controls, and the order of start-up and termination.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/app_delegate.hpp"
#include "app/shortcuts.hpp"
#include "app/web_bridge.hpp"
#include "common/json.hpp"
#include "common/main_thread.hpp"
#include "platform/fake_platform.hpp"
#include "server/session_routes.hpp"
#include "server/static_server.hpp"
#include "server/tests/test_client.hpp"
#include "session/session_model.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace shell_test {

using namespace solvera;
using platform::KeyEvent;
using platform::ScriptResult;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

KeyEvent key(int code) {
  KeyEvent event;
  event.keyCode = code;
  return event;
}

KeyEvent mediaPlay() {
  KeyEvent event;
  event.type = KeyEvent::Type::mediaPlayDown;
  return event;
}

ScriptResult boolean(bool value) { return ScriptResult{Json(value), std::nullopt}; }

// A delegate over the fakes with a clock moved by hand and the control window open.
struct Shell {
  explicit Shell(bool open = true) {
    dir.write("public/index.html", "index");
    AppDelegate::Options options;
    options.port = 0;
    options.musicLibraryURL = dir.path() / "library";
    options.inputLogFile = dir.path() / "state" / "Solvera Pro Audio+Light-input.log";
    options.clock = &clock;
    delegate = AppDelegate::create(fakes.platform({dir.path(), {}}), options);
    if (open) delegate->openControlInterface();
  }
  ~Shell() { delegate->applicationWillTerminate(); }

  platform::FakeWebView& page() { return *fakes.shell.webView; }
  std::vector<std::string> scripts() { return page().scripts(); }

  // The input log's lines without their time stamps.
  std::vector<std::string> log() const {
    std::vector<std::string> lines;
    std::ifstream in(delegate->shortcuts().inputLogFile());
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(' ') + 1));
    return lines;
  }

  test::TempDir dir;
  FakeClock clock{5'000'000'000, 1.7e12};
  platform::FakePlatform fakes;
  std::shared_ptr<AppDelegate> delegate;
};

}  // namespace

TEST(WebBridge, ClipboardReplyHandsTheExactTextToThePage) {
  Shell shell;
  shell.fakes.clipboard.text = "a\"b\\c\nd";
  shell.delegate->didReceiveScriptMessage("clipboard", "readText");
  EXPECT_THAT(shell.scripts(),
              ElementsAre(R"(window.solveraClipboardText(["a\"b\\c\nd"].shift());)"));
  shell.delegate->didReceiveScriptMessage("clipboard", "readtext");
  shell.delegate->didReceiveScriptMessage("clipboard", Json::object());
  EXPECT_EQ(shell.scripts().size(), 1u) << "ignored bodies get no reply";

  // Without a control web view the reply goes nowhere.
  shell.delegate->controlWindowWillClose();
  shell.delegate->didReceiveScriptMessage("clipboard", "readText");
  EXPECT_EQ(shell.scripts().size(), 1u);
}

TEST(WebBridge, NewWindowsOpenWebAddressesInTheBrowserOnly) {
  EXPECT_TRUE(opensInDefaultBrowser("https://example.org/x"));
  EXPECT_TRUE(opensInDefaultBrowser("HTTP://example.org"));
  EXPECT_FALSE(opensInDefaultBrowser("mailto:a@b.c"));
  EXPECT_FALSE(opensInDefaultBrowser("about:blank"));
  EXPECT_FALSE(opensInDefaultBrowser("file:///etc/passwd"));
  EXPECT_FALSE(opensInDefaultBrowser("javascript:alert(1)"));
  EXPECT_FALSE(opensInDefaultBrowser("httpx://example.org"));
  EXPECT_FALSE(opensInDefaultBrowser(""));

  Shell shell;
  shell.delegate->webViewRequestsNewWindow("https://example.org/help");
  shell.delegate->webViewRequestsNewWindow("mailto:support@example.org");
  EXPECT_THAT(shell.fakes.workspace.urls, ElementsAre("https://example.org/help"));
  EXPECT_EQ(shell.fakes.shell.controlWindows.size(), 1u) << "never a second window";
}

TEST(WebBridge, FileInputAsksForAudioFilesAsTheInputAllows) {
  Shell shell;
  std::vector<std::filesystem::path> chosen{{"never"}};
  shell.delegate->webViewRunOpenPanel({false, true}, [&](auto files) { chosen = files; });
  shell.delegate->webViewRunOpenPanel({true, false}, [](auto) {});
  ASSERT_EQ(shell.fakes.dialogs.openPanels.size(), 2u);
  const auto& panel = shell.fakes.dialogs.openPanels[0];
  EXPECT_EQ(panel.title, "Tracks toevoegen");
  EXPECT_EQ(panel.prompt, "Toevoegen");
  EXPECT_TRUE(panel.canChooseFiles);
  EXPECT_FALSE(panel.canChooseDirectories);
  EXPECT_TRUE(panel.allowsMultipleSelection);
  EXPECT_THAT(panel.mimeTypes, ElementsAre("audio/*"));
  EXPECT_TRUE(shell.fakes.dialogs.openPanels[1].canChooseDirectories);
  EXPECT_FALSE(shell.fakes.dialogs.openPanels[1].allowsMultipleSelection);
  shell.fakes.dialogs.pendingOpen.front()({"/m/a.mp3", "/m/b.wav"});
  EXPECT_THAT(chosen, ElementsAre("/m/a.mp3", "/m/b.wav"));
}

TEST(WebBridge, FirstFinishedLoadOfTheControlViewOnly) {
  Shell shell;
  platform::FakeWebView other;
  shell.delegate->webViewDidFinishLoad(other);
  EXPECT_FALSE(shell.delegate->automaticMusicLibraryCheckStarted()) << "another web view";
  shell.delegate->webViewDidFinishLoad(shell.page());
  EXPECT_TRUE(shell.delegate->automaticMusicLibraryCheckStarted());
  shell.delegate->webViewDidFinishLoad(shell.page());  // a reload: nothing more to do
  EXPECT_TRUE(shell.delegate->automaticMusicLibraryCheckStarted());
}

TEST(Shortcuts, KeyTestsOfTheFilters) {
  auto with = [](int code, auto set) {
    KeyEvent event = key(code);
    set(event);
    return event;
  };
  EXPECT_TRUE(isBreathingKey(key(124)));
  EXPECT_TRUE(isBreathingKey(key(96)));
  EXPECT_TRUE(isBreathingKey(with(124, [](KeyEvent& e) { e.shift = true; }))) << "Shift allowed";
  EXPECT_FALSE(isBreathingKey(with(124, [](KeyEvent& e) { e.control = true; })));
  EXPECT_FALSE(isBreathingKey(with(124, [](KeyEvent& e) { e.option = true; })));
  EXPECT_FALSE(isBreathingKey(with(96, [](KeyEvent& e) { e.command = true; })));
  EXPECT_FALSE(isBreathingKey(with(124, [](KeyEvent& e) { e.isRepeat = true; })))
      << "auto-repeat refused";
  EXPECT_FALSE(isBreathingKey(key(KeyEvent::kOtherKey)));
  EXPECT_FALSE(isBreathingKey(key(123)));
  EXPECT_FALSE(isBreathingKey(mediaPlay()));
  EXPECT_TRUE(isMediaPlayKey(mediaPlay()));
  EXPECT_FALSE(isMediaPlayKey(key(124)));

  EXPECT_EQ(controlWindowShortcutSource(key(124)), "window-key-124");
  EXPECT_EQ(controlWindowShortcutSource(key(96)), "window-key-96");
  EXPECT_EQ(controlWindowShortcutSource(mediaPlay()), "window-media");
  EXPECT_EQ(controlWindowShortcutSource(with(124, [](KeyEvent& e) { e.control = true; })),
            std::nullopt);
  EXPECT_TRUE(controlWebViewClaimsShortcut(key(96)));
  EXPECT_FALSE(controlWebViewClaimsShortcut(mediaPlay())) << "the web view tests keys only";
}

TEST(Shortcuts, EachToggleHasItsOwnDebounceSharedByEveryEntryPath) {
  Shell shell;
  shell.delegate->installInputControls();
  auto evaluations = [&] { return shell.page().evaluations.size(); };

  // One press seen by the monitor, the application, the window and the web view, and as a
  // media command: one toggle.
  EXPECT_TRUE(shell.delegate->applicationKeyEvent(key(124)));
  EXPECT_TRUE(shell.delegate->controlWindowKeyEvent(key(124)));
  EXPECT_TRUE(shell.delegate->controlWebViewKeyEvent(key(124)));
  EXPECT_TRUE(shell.fakes.shell.sendToKeyMonitors(mediaPlay()));
  shell.fakes.mediaRemote.send(platform::MediaRemote::Command::togglePlayPause);
  mainthread::runUntil([] { return false; }, std::chrono::milliseconds(20));
  EXPECT_EQ(evaluations(), 1u);
  EXPECT_THAT(shell.scripts()[0], HasSubstr("window.toggleBreathingCoaching();"));
  EXPECT_THAT(shell.scripts()[0],
              HasSubstr("  document.querySelector('#breathingGuideEnabled')?.click();\n"));

  shell.clock.advanceMs(100);
  shell.delegate->shortcuts().toggleBlackoutShortcut();
  EXPECT_EQ(evaluations(), 2u) << "blackout 0.1 s after breathing is its own toggle";
  EXPECT_THAT(shell.scripts()[1], HasSubstr("window.toggleBlackout();"));

  shell.clock.advanceMs(250);  // 0.35 s after the breathing toggle: not greater, ignored
  shell.delegate->shortcuts().toggleBreathingShortcut();
  EXPECT_EQ(evaluations(), 2u);
  shell.clock.advanceMs(1);
  shell.delegate->shortcuts().toggleBreathingShortcut();
  EXPECT_EQ(evaluations(), 3u);

  // Two Play presses 0.2 s apart toggle once; 0.5 s apart, twice.
  shell.clock.advanceMs(1000);
  shell.fakes.shell.sendToKeyMonitors(mediaPlay());
  shell.clock.advanceMs(200);
  shell.fakes.shell.sendToKeyMonitors(mediaPlay());
  EXPECT_EQ(evaluations(), 4u);
  shell.clock.advanceMs(500);
  shell.fakes.shell.sendToKeyMonitors(mediaPlay());
  EXPECT_EQ(evaluations(), 5u);

  // Keys the filters refuse are passed on and toggle nothing.
  shell.clock.advanceMs(1000);
  KeyEvent control = key(124);
  control.control = true;
  EXPECT_FALSE(shell.delegate->applicationKeyEvent(control));
  EXPECT_FALSE(shell.delegate->controlWindowKeyEvent(control));
  EXPECT_FALSE(shell.delegate->controlWebViewKeyEvent(control));
  EXPECT_FALSE(shell.fakes.shell.sendToKeyMonitors(key(124))) << "the monitor wants Play only";
  EXPECT_EQ(evaluations(), 5u);
}

TEST(Shortcuts, WhileThePageEditsAFieldItsKeysPassThroughAndThePlayKeyStillToggles) {
  Shell shell;
  shell.delegate->installInputControls();
  auto evaluations = [&] { return shell.page().evaluations.size(); };
  shell.delegate->didReceiveScriptMessage("editingFocus", true);
  for (int code : {124, 96}) {
    EXPECT_FALSE(shell.delegate->applicationKeyEvent(key(code))) << code;
    EXPECT_FALSE(shell.delegate->controlWindowKeyEvent(key(code))) << code;
    EXPECT_FALSE(shell.delegate->controlWebViewKeyEvent(key(code))) << code;
  }
  EXPECT_EQ(evaluations(), 0u) << "typing toggles nothing";
  EXPECT_TRUE(shell.fakes.shell.sendToKeyMonitors(mediaPlay()));
  EXPECT_EQ(evaluations(), 1u) << "the Play key is no typing key";

  // Focus leaves the field: Right arrow is the presenter key again.
  shell.clock.advanceMs(1000);
  shell.delegate->didReceiveScriptMessage("editingFocus", false);
  EXPECT_TRUE(shell.delegate->controlWebViewKeyEvent(key(124)));
  EXPECT_EQ(evaluations(), 2u);
  // A page that loads anew starts without a field in focus.
  shell.clock.advanceMs(1000);
  shell.delegate->didReceiveScriptMessage("editingFocus", true);
  shell.delegate->webViewDidFinishLoad(shell.page());
  EXPECT_TRUE(shell.delegate->applicationKeyEvent(key(96)));
  EXPECT_EQ(evaluations(), 3u);
}

TEST(Shortcuts, EveryPathWritesItsLogLine) {
  Shell shell;
  auto next = [&] { shell.clock.advanceMs(1000); };
  shell.delegate->applicationKeyEvent(mediaPlay());
  next();
  shell.delegate->applicationKeyEvent(key(96));
  next();
  shell.delegate->controlWindowKeyEvent(key(124));
  next();
  shell.delegate->controlWindowKeyEvent(mediaPlay());
  next();
  shell.delegate->shortcuts().controlWindowDidRequestBlackoutToggle("window-key-11");
  next();
  shell.delegate->controlWebViewKeyEvent(key(124));
  next();
  shell.delegate->shortcuts().controlWebViewDidRequestBlackoutToggle();
  next();
  shell.delegate->shortcuts().toggleBreathingShortcut();
  next();
  shell.delegate->shortcuts().toggleBlackoutShortcut();
  EXPECT_THAT(shell.log(), ElementsAre("applicationShortcut=media-play",
                                       "applicationShortcut=breathing keyCode=96",
                                       "window-key-124=breathing", "window-media=breathing",
                                       "window-key-11=blackout", "webViewShortcut=breathing",
                                       "webViewShortcut=blackout", "menuShortcut=breathing",
                                       "menuShortcut=blackout"));

  // The page answers: one evaluated line each, with the error text when there is one.
  ASSERT_TRUE(shell.page().complete(boolean(true)));
  ASSERT_TRUE(shell.page().complete(ScriptResult{std::nullopt, "ReferenceError: x"}));
  auto lines = shell.log();
  EXPECT_EQ(lines[lines.size() - 2],
            "webShortcut=toggleBreathingCoaching result=true error=- attempts=12");
  EXPECT_EQ(lines.back(),
            "webShortcut=toggleBreathingCoaching result=false error=ReferenceError: x attempts=12");
}

TEST(Shortcuts, RunWebShortcutRetriesTwelveTimesWhileThePageIsLoading) {
  Shell shell;
  shell.delegate->shortcuts().toggleBlackout();
  for (std::size_t attempt = 1; attempt <= 12; ++attempt) {
    ASSERT_TRUE(mainthread::runUntil([&] { return shell.page().evaluations.size() == attempt; }))
        << "evaluation " << attempt;
    shell.page().complete(boolean(false));
  }
  // A thirteenth would come 0.15 s after the twelfth; give it twice that.
  mainthread::runUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(shell.page().evaluations.size(), 12u);
  auto lines = shell.log();
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines.front(), "webShortcut=toggleBlackout result=false error=- attempts=12");
  EXPECT_EQ(lines.back(), "webShortcut=toggleBlackout result=false error=- attempts=1");
  for (const auto& script : shell.scripts()) {
    EXPECT_EQ(script, pagecall::webShortcut(kBlackoutFunction, kBlackoutFallback));
  }
}

TEST(Shortcuts, APageThatAnswersIsCalledOnceAndNoPageIsLogged) {
  Shell shell;
  shell.delegate->shortcuts().toggleBlackout();
  shell.page().complete(ScriptResult{Json(1), std::nullopt});  // not the boolean true
  ASSERT_TRUE(mainthread::runUntil([&] { return shell.page().evaluations.size() == 2; }));
  shell.page().complete(boolean(true));
  mainthread::runUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(shell.page().evaluations.size(), 2u);
  EXPECT_EQ(shell.log().back(), "webShortcut=toggleBlackout result=true error=- attempts=11");

  Shell closed(false);
  closed.delegate->shortcuts().toggleBreathingCoaching();
  EXPECT_THAT(closed.log(), ElementsAre("webShortcut=toggleBreathingCoaching result=no-webview"));
}

TEST(Shortcuts, MenuEntriesInOrder) {
  Shell shell(false);
  shell.delegate->shortcuts().installMenu(shell.fakes.shell,
                                          shell.delegate->productDisplayName());
  const auto& menus = shell.fakes.shell.menus;
  ASSERT_EQ(menus.size(), 3u);
  auto describe = [](const platform::Menu& menu) {
    std::vector<std::string> out;
    for (const auto& item : menu.items) {
      out.push_back(item.separator ? "---" : item.title + "|" + item.command + "|" + item.key);
    }
    return out;
  };
  EXPECT_EQ(menus[0].title, "");
  EXPECT_THAT(describe(menus[0]), ElementsAre("Stop Solvera Pro Audio+Light|quit|q"));
  EXPECT_EQ(menus[1].title, "Bewerken");
  EXPECT_THAT(describe(menus[1]),
              ElementsAre("Ongedaan maken|undo|z", "Opnieuw|redo|Z", "---", "Knip|cut|x",
                          "Kopieer|copy|c", "Plak|paste|v", "Selecteer alles|selectAll|a"));
  EXPECT_EQ(menus[2].title, "Bediening");
  EXPECT_THAT(describe(menus[2]),
              ElementsAre("Ademhalingscoaching aan/uit||", "Blackout aan/uit||"));
  EXPECT_THAT(shell.log(), ElementsAre("shortcutMenu=installed"));

  shell.delegate->openControlInterface();
  shell.fakes.shell.menuAction("Ademhalingscoaching aan/uit")();
  shell.fakes.shell.menuAction("Blackout aan/uit")();
  EXPECT_EQ(shell.page().evaluations.size(), 2u) << "blackout right after breathing runs too";
  EXPECT_THAT(shell.log(), ElementsAre("shortcutMenu=installed", "menuShortcut=breathing",
                                       "menuShortcut=blackout"));
}

TEST(InputLog, LineFormatAppendAndSilentFailures) {
  EXPECT_EQ(inputLogTimestamp(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(inputLogTimestamp(1714566896999.9), "2024-05-01T12:34:56Z") << "whole seconds";

  Shell shell(false);
  shell.clock.setWallMs(1714566896000);
  auto file = shell.delegate->shortcuts().inputLogFile();
  EXPECT_FALSE(std::filesystem::exists(file.parent_path())) << "the folder is made on demand";
  shell.delegate->shortcuts().logInput("inputControls=installed");
  shell.delegate->shortcuts().appendInputLog(
      "2024-05-01T12:35:00Z webShortcut=x result=no-webview\n");
  std::ifstream in(file);
  std::stringstream all;
  all << in.rdbuf();
  EXPECT_EQ(all.str(),
            "2024-05-01T12:34:56Z inputControls=installed\n"
            "2024-05-01T12:35:00Z webShortcut=x result=no-webview\n");

  // A log that cannot be written never stops a shortcut.
  test::TempDir dir;
  dir.write("blocker", "a file where a folder should be");
  AppDelegate::Options options;
  options.inputLogFile = dir.path() / "blocker" / "input.log";
  platform::FakePlatform fakes;
  auto delegate = AppDelegate::create(fakes.platform(), options);
  delegate->openControlInterface();
  delegate->shortcuts().toggleBreathingCoaching();
  EXPECT_EQ(fakes.shell.webView->evaluations.size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(options.inputLogFile));
  delegate->applicationWillTerminate();
}

TEST(MediaControls, InputControlsOncePlayPauseAndToggleAllToggle) {
  using Command = platform::MediaRemote::Command;
  Shell shell;
  shell.delegate->installInputControls();
  shell.delegate->installInputControls();
  auto& remote = shell.fakes.mediaRemote;
  ASSERT_EQ(remote.handlers.size(), 3u) << "registered once";
  std::vector<Command> commands;
  for (auto& [token, entry] : remote.handlers) commands.push_back(entry.first);
  EXPECT_THAT(commands, ElementsAre(Command::play, Command::pause, Command::togglePlayPause));
  ASSERT_TRUE(remote.nowPlaying);
  EXPECT_EQ(remote.nowPlaying->first, "Ademhalingscoaching");
  EXPECT_EQ(remote.nowPlaying->second, "Solvera Pro Audio+Light");
  EXPECT_THAT(shell.log(), ElementsAre("inputControls=installed"));

  for (Command command : {Command::pause, Command::play, Command::togglePlayPause}) {
    std::size_t before = shell.page().evaluations.size();
    remote.send(command);
    EXPECT_EQ(shell.page().evaluations.size(), before) << "queued on the main loop, not inline";
    ASSERT_TRUE(mainthread::runUntil([&] { return shell.page().evaluations.size() == before + 1; }));
    EXPECT_THAT(shell.scripts().back(), HasSubstr("window.toggleBreathingCoaching();"));
    shell.clock.advanceMs(400);
  }
}

TEST(MediaControls, OneMediaKeyMonitorPerRun) {
  Shell shell;
  EXPECT_EQ(shell.fakes.shell.keyMonitors.size(), 1u) << "installed with the control window";
  shell.delegate->installMediaKeyMonitor();
  shell.delegate->openControlInterface();
  EXPECT_EQ(shell.fakes.shell.keyMonitors.size(), 1u);
  EXPECT_TRUE(shell.fakes.shell.sendToKeyMonitors(mediaPlay()));
  EXPECT_EQ(shell.page().evaluations.size(), 1u);
}

// A control window that shows no page, as the headless program's.
class PagelessShell : public platform::FakeShell {
 public:
  std::shared_ptr<platform::WebView> openControlWindow(const platform::ControlWindowSpec& spec) override {
    FakeShell::openControlWindow(spec);
    return nullptr;
  }
};

// With no page to ask, the keys, the Play key and the media remote pause and resume the
// program's own player, and the blackout keys darken through it; nothing waits for a page.
TEST(MediaControls, WithoutAPageKeysPlayKeyAndRemoteReachThePlayer) {
  using Command = platform::MediaRemote::Command;
  test::TempDir dir;
  dir.write("public/index.html", "index");
  platform::FakePlatform fakes;
  PagelessShell shell;
  FakeClock clock{5'000'000'000, 1.7e12};
  AppDelegate::Options options;
  options.port = 0;
  options.musicLibraryURL = dir.path() / "library";
  options.inputLogFile = dir.path() / "input.log";
  options.clock = &clock;
  auto delegate = AppDelegate::create(platform::Platform{shell, fakes.dialogs, fakes.clipboard, fakes.workspace,
                                                         fakes.mediaRemote, fakes.preferences, {dir.path(), {}}},
                                      options);
  delegate->applicationDidFinishLaunching();
  ASSERT_TRUE(mainthread::runUntil([&] { return !delegate->isStartingMain(); }));
  ASSERT_EQ(shell.controlWindows.size(), 1u);
  ASSERT_EQ(fakes.mediaRemote.handlers.size(), 3u) << "the media remote is listened to";
  session::SessionPlayer& player = delegate->server()->session().player();
  auto lastLogLine = [&] {
    std::ifstream in(options.inputLogFile);
    std::string line, last;
    while (std::getline(in, line)) last = line;
    return last.substr(last.find(' ') + 1);
  };
  auto next = [&] { clock.advanceMs(400); };  // past the toggles' debounce

  // Nothing plays: the Play key has nothing to pause.
  EXPECT_TRUE(shell.sendToKeyMonitors(mediaPlay()));
  EXPECT_EQ(lastLogLine(), "playerShortcut=none");

  Json raw = {{"title", "Zonder pagina"}, {"phases", {{{"start", "00:00"}, {"end", "10:00"}, {"audioFrequencyHz", "10"}}}}};
  ASSERT_FALSE(player.start({*session::checkSession(raw).session, {}, true, {}}).has_value());
  ASSERT_EQ(player.status().state, session::PlayerState::running);

  // Right arrow pauses, the Play key resumes, the remote's pause and play/pause go on in turn.
  next();
  EXPECT_TRUE(delegate->applicationKeyEvent(key(124)));
  EXPECT_EQ(player.status().state, session::PlayerState::paused) << "Right arrow";
  EXPECT_EQ(lastLogLine(), "playerShortcut=pause");
  next();
  EXPECT_TRUE(shell.sendToKeyMonitors(mediaPlay()));
  EXPECT_EQ(player.status().state, session::PlayerState::running) << "the Play key";
  EXPECT_EQ(lastLogLine(), "playerShortcut=resume");
  next();
  fakes.mediaRemote.send(Command::pause);
  EXPECT_TRUE(mainthread::runUntil([&] { return player.status().state == session::PlayerState::paused; }))
      << "the remote's pause";
  next();
  fakes.mediaRemote.send(Command::togglePlayPause);
  EXPECT_TRUE(mainthread::runUntil([&] { return player.status().state == session::PlayerState::running; }))
      << "the remote's play/pause";

  // The window's blackout key and the menu's entry: on, then off.
  next();
  delegate->shortcuts().controlWindowDidRequestBlackoutToggle("window-key-11");
  EXPECT_TRUE(player.blackout()) << "the blackout key";
  EXPECT_EQ(lastLogLine(), "playerShortcut=blackout on=true");
  next();
  delegate->shortcuts().toggleBlackoutShortcut();
  EXPECT_FALSE(player.blackout()) << "the menu's blackout entry lifts it";
  EXPECT_EQ(player.status().state, session::PlayerState::running) << "blackout leaves the session playing";
  delegate->applicationWillTerminate();
}

TEST(Lifecycle, StartUpOrder) {
  Shell shell(false);
  shell.delegate->applicationDidFinishLaunching();
  EXPECT_THAT(shell.fakes.journal, ElementsAre("shell.installMainMenu"))
      << "the menu comes before the server; the window waits for it";
  ASSERT_TRUE(mainthread::runUntil([&] { return !shell.delegate->isStartingMain(); }));
  EXPECT_THAT(shell.fakes.journal,
              ElementsAre("shell.installMainMenu", "shell.openControlWindow",
                          "shell.addLocalKeyMonitor", "mediaRemote.addHandler",
                          "mediaRemote.addHandler", "mediaRemote.addHandler",
                          "mediaRemote.setNowPlaying"));
  EXPECT_THAT(shell.log(), ElementsAre("shortcutMenu=installed", "inputControls=installed"));
}

// Notes when the media controls go away whether the server still answers.
class ProbingMediaRemote : public platform::FakeMediaRemote {
 public:
  void clearNowPlaying() override {
    FakeMediaRemote::clearNowPlaying();
    try {
      serverAnswered =
          test::exchange(port, test::request("GET", "/")).statusLine() == "HTTP/1.1 200 OK";
    } catch (const std::exception&) {
      serverAnswered = false;
    }
  }
  std::uint16_t port = 0;
  std::optional<bool> serverAnswered;
};

TEST(Lifecycle, TerminationRemovesTheControlsBeforeTheServerStops) {
  test::TempDir dir;
  dir.write("public/index.html", "index");
  platform::FakePlatform fakes;
  ProbingMediaRemote remote;
  remote.journal = &fakes.journal;
  AppDelegate::Options options;
  options.port = 0;
  options.inputLogFile = dir.path() / "input.log";
  auto delegate = AppDelegate::create(
      platform::Platform{fakes.shell, fakes.dialogs, fakes.clipboard, fakes.workspace, remote,
                         fakes.preferences, {dir.path(), {}}},
      options);
  delegate->applicationDidFinishLaunching();
  ASSERT_TRUE(mainthread::runUntil([&] { return !delegate->isStartingMain(); }));
  remote.port = delegate->server()->port();
  fakes.journal.clear();

  delegate->controlWindowWillClose();
  delegate->applicationWillTerminate();
  delegate->applicationWillTerminate();  // once only
  EXPECT_THAT(fakes.journal,
              ElementsAre("shell.terminate", "shell.removeLocalKeyMonitor",
                          "mediaRemote.removeHandler", "mediaRemote.removeHandler",
                          "mediaRemote.removeHandler", "mediaRemote.clearNowPlaying"));
  EXPECT_EQ(remote.serverAnswered, true) << "the server stops last";
  EXPECT_TRUE(remote.handlers.empty());
  EXPECT_TRUE(fakes.shell.keyMonitors.empty());
  EXPECT_THROW(test::exchange(remote.port, test::request("GET", "/")), std::runtime_error);
}

}  // namespace shell_test
