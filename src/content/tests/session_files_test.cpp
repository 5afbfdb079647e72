// Session import and export with the fake panels, and analysis reports through the fake
// workspace; files are real, in temporary folders.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "common/files.hpp"
#include "common/json.hpp"
#include "common/main_thread.hpp"
#include "content/analysis_print.hpp"
#include "content/session_files.hpp"
#include "platform/fake_platform.hpp"
#include "server/tests/test_client.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace session_files_test {

using namespace solvera;
using solvera::test::TempDir;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Fixture {
  Fixture() {
    files = SessionFiles::create(fakes.dialogs, [this] { return view; });
  }

  // Answers the open panel with the chosen files and returns what the page received.
  std::string importChoosing(std::vector<fs::path> chosen) {
    view->evaluations.clear();
    files->importSessionFile();
    auto done = std::move(fakes.dialogs.pendingOpen.front());
    fakes.dialogs.pendingOpen.pop_front();
    done(std::move(chosen));
    return nextScript();
  }

  std::string nextScript() {
    if (!mainthread::runUntil([&] { return !view->evaluations.empty(); })) return "(nothing)";
    return view->scripts().front();
  }

  TempDir dir;
  platform::FakePlatform fakes;
  std::shared_ptr<platform::FakeWebView> view = std::make_shared<platform::FakeWebView>();
  std::shared_ptr<SessionFiles> files;
};

}  // namespace

TEST(SessionImport, HandsTheWholeTextToThePageUpToOneMillionBytes) {
  Fixture f;
  std::string session = R"({"name":"Diepe \"rust\"","notes":"regel 1\nregel 2 <\/script>"})";
  f.dir.write("rust.svpsession", session);
  EXPECT_EQ(f.importChoosing({f.dir.path() / "rust.svpsession"}),
            "window.solveraSessionFileImported?.(true, " + javascriptString(session) + ");");
  const auto& panel = f.fakes.dialogs.openPanels.back();
  EXPECT_EQ(panel.title, "Solvera Pro sessie importeren");
  EXPECT_EQ(panel.prompt, "Importeren");
  EXPECT_TRUE(panel.canChooseFiles);
  EXPECT_FALSE(panel.canChooseDirectories);
  EXPECT_FALSE(panel.allowsMultipleSelection);
  EXPECT_EQ(panel.extensions, (std::vector<std::string>{"svpsession", "json"}));

  std::string exact(1'000'000, 'x');
  f.dir.write("exact.json", exact);
  EXPECT_EQ(f.importChoosing({f.dir.path() / "exact.json"}),
            pagecall::sessionFileImported(true, exact));
}

TEST(SessionImport, ReportsReadForLargeUnreadableOrNonUtf8FilesAndCancelledForNoChoice) {
  Fixture f;
  const std::string read = "window.solveraSessionFileImported?.(false, \"read\");";
  f.dir.write("big.svpsession", std::string(1'000'001, 'x'));
  EXPECT_EQ(f.importChoosing({f.dir.path() / "big.svpsession"}), read) << "one byte over";
  f.dir.write("latin1.svpsession", "caf\xE9");
  EXPECT_EQ(f.importChoosing({f.dir.path() / "latin1.svpsession"}), read) << "not UTF-8";
  EXPECT_EQ(f.importChoosing({f.dir.path() / "missing.svpsession"}), read);
  EXPECT_EQ(f.importChoosing({f.dir.path()}), read) << "a folder";
  ASSERT_EQ(::mkfifo((f.dir.path() / "pipe.json").c_str(), 0600), 0);
  EXPECT_EQ(f.importChoosing({f.dir.path() / "pipe.json"}), read) << "a pipe, without blocking";
  EXPECT_EQ(f.importChoosing({}), "window.solveraSessionFileImported?.(false, \"cancelled\");");
}

TEST(SessionExport, ProposesASafeNameAndWritesAtomically) {
  Fixture f;
  struct Case {
    std::string filename, proposed;
  };
  for (const auto& c : std::vector<Case>{{"a/b:c", "a-b-c.svpsession"},
                                         {"x.svpsession", "x.svpsession"},
                                         {"x.SVPSESSION", "x.SVPSESSION.svpsession"},
                                         {"Avond: 10/4", "Avond- 10-4.svpsession"}}) {
    f.files->exportSessionFile(c.filename, "{}");
    EXPECT_EQ(f.fakes.dialogs.savePanels.back().proposedName, c.proposed) << c.filename;
    f.fakes.dialogs.pendingSave.pop_front();
  }
  const auto& panel = f.fakes.dialogs.savePanels.back();
  EXPECT_EQ(panel.title, "Solvera Pro sessie exporteren");
  EXPECT_EQ(panel.prompt, "Bewaar");
  EXPECT_EQ(panel.extensions, (std::vector<std::string>{"svpsession"}));

  const fs::path target = f.dir.path() / "Avond.svpsession";
  f.dir.write("Avond.svpsession", "old content that is longer than the new one");
  std::string content(1'000'000, 'y');
  content.replace(0, 4, "\xC3\xA9\xC3\xA9");  // the limit counts bytes
  f.files->exportSessionFile("Avond", content);
  f.fakes.dialogs.pendingSave.front()(target);
  f.fakes.dialogs.pendingSave.pop_front();
  EXPECT_EQ(f.nextScript(), "window.solveraSessionFileExported?.(true, \"saved\");");
  EXPECT_EQ(slurp(target), content);
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(f.dir.path())) entries += e.path() == target ? 0 : 1;
  EXPECT_EQ(entries, 0u) << "no temporary file left beside the target";
}

TEST(SessionExport, RefusesTooLargeContentBeforeAnyPanelAndReportsCancelAndWriteFailures) {
  Fixture f;
  std::string twoByte;
  for (int i = 0; i < 500'001; ++i) twoByte += "\xC3\xA9";  // 1,000,002 bytes
  f.files->exportSessionFile("groot", twoByte);
  EXPECT_EQ(f.nextScript(), "window.solveraSessionFileExported?.(false, \"size\");");
  EXPECT_TRUE(f.fakes.dialogs.savePanels.empty()) << "no panel for too much content";

  f.view->evaluations.clear();
  f.files->exportSessionFile("x", "{}");
  f.fakes.dialogs.pendingSave.front()(std::nullopt);
  f.fakes.dialogs.pendingSave.pop_front();
  EXPECT_EQ(f.nextScript(), "window.solveraSessionFileExported?.(false, \"cancelled\");");

  f.view->evaluations.clear();
  f.dir.write("existing.svpsession", "keep me");
  f.files->exportSessionFile("x", "{}");
  f.fakes.dialogs.pendingSave.front()(f.dir.path() / "no such folder" / "x.svpsession");
  f.fakes.dialogs.pendingSave.pop_front();
  EXPECT_EQ(f.nextScript(), "window.solveraSessionFileExported?.(false, \"write\");");

  f.view->evaluations.clear();
  fs::create_directories(f.dir.path() / "folder.svpsession" / "inside");
  f.files->exportSessionFile("x", "{}");
  f.fakes.dialogs.pendingSave.front()(f.dir.path() / "folder.svpsession");
  f.fakes.dialogs.pendingSave.pop_front();
  EXPECT_EQ(f.nextScript(), "window.solveraSessionFileExported?.(false, \"write\");");
  EXPECT_TRUE(fs::exists(f.dir.path() / "folder.svpsession" / "inside")) << "untouched";
  EXPECT_EQ(slurp(f.dir.path() / "existing.svpsession"), "keep me");
}

TEST(SessionFilesPageCalls, AreDroppedWhenTheServiceIsGone) {
  Fixture f;
  f.files->exportSessionFile("x", "{}");
  auto done = std::move(f.fakes.dialogs.pendingSave.front());
  f.files.reset();
  done(f.dir.path() / "late.svpsession");
  bool ran = false;
  mainthread::post([&] { ran = true; });
  mainthread::runUntil([&] { return ran; });
  EXPECT_TRUE(f.view->evaluations.empty());
}

TEST(AnalysisReport, IsWrittenUnderItsTitleAndOpenedWithTheDefaultApplication) {
  TempDir dir;
  platform::FakePlatform fakes;
  std::vector<std::string> alerts;
  auto printer = AnalysisPrinter::create(
      fakes.workspace, [&](const std::string& m) { alerts.push_back(m); }, dir.path());

  std::string html = "<!doctype html><title>Analyse</title><p>\xC3\xA9\xC3\xA9n sessie</p>";
  printer->printAnalysisReport(html, "12:30/1");
  ASSERT_EQ(fakes.workspace.files.size(), 1u);
  EXPECT_EQ(fakes.workspace.files[0], dir.path() / "12-30-1.html");
  EXPECT_EQ(slurp(dir.path() / "12-30-1.html"), html);
  struct stat info {};
  ASSERT_EQ(::stat((dir.path() / "12-30-1.html").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "reports are private to the user";

  printer->printAnalysisReport("second", "12:30/1");
  EXPECT_EQ(slurp(dir.path() / "12-30-1.html"), "second") << "an earlier report is overwritten";
  printer->printAnalysisReport("<p>x</p>", "");
  EXPECT_EQ(fakes.workspace.files.back(), dir.path() / "Solvera Pro analyse.html");

  std::string limit(5'000'000, 'x');
  printer->printAnalysisReport(limit, "limit");
  EXPECT_EQ(fakes.workspace.files.back(), dir.path() / "limit.html") << "exactly the limit";
  EXPECT_TRUE(alerts.empty());

  printer->printAnalysisReport(limit + "x", "too large");
  EXPECT_EQ(alerts,
            (std::vector<std::string>{"Het analyserapport is te groot om direct af te drukken."}));
  EXPECT_FALSE(fs::exists(dir.path() / "too large.html"));
  EXPECT_EQ(fakes.workspace.files.size(), 4u);
}

TEST(AnalysisReport, AWriteFailureOpensNothing) {
  platform::FakePlatform fakes;
  auto printer = AnalysisPrinter::create(fakes.workspace, {}, "/nonexistent-solvera-folder");
  printer->printAnalysisReport("<p>x</p>", "t");
  EXPECT_TRUE(fakes.workspace.files.empty());
  EXPECT_EQ(printer->analysisPrintJobCount(), 1u) << "a job that never completed stays";
}

TEST(AtomicFile, LeavesTheTargetUnchangedWhenTheWriteFails) {
  TempDir dir;
  dir.write("a.txt", "old");
  EXPECT_TRUE(writeFileAtomically(dir.path() / "a.txt", "new"));
  EXPECT_EQ(slurp(dir.path() / "a.txt"), "new");
  fs::create_symlink(dir.path() / "a.txt", dir.path() / "link.txt");
  EXPECT_TRUE(writeFileAtomically(dir.path() / "link.txt", "replaced the link"));
  EXPECT_EQ(slurp(dir.path() / "a.txt"), "new") << "a link in the way is replaced, not followed";
  EXPECT_FALSE(writeFileAtomically(dir.path() / std::string("b\0.txt", 6), "x"));
  EXPECT_FALSE(fs::exists(dir.path() / "b"));
  EXPECT_EQ(fileNameSafe(std::string("a\0b/c:d", 7)), "a-b-c-d");
}

}  // namespace session_files_test
