// Analysis report output through the default application for HTML.
#include "content/analysis_print.hpp"

#include "common/files.hpp"

namespace solvera {
namespace fs = std::filesystem;

std::string AnalysisPrintJob::fileName(const std::string& title) {
  std::string name = fileNameSafe(title);
  if (name.empty()) name = "Solvera Pro analyse";
  return name + ".html";
}

AnalysisPrintJob::AnalysisPrintJob(const std::string& html, const std::string& title,
                                   const std::function<void()>& completion,
                                   platform::Workspace& workspace, const fs::path& temporaryDir)
    : file_(temporaryDir / fileName(title)) {
  // Owner-only: a report may describe the user's sessions, and the temporary folder is shared.
  if (!writeFileAtomically(file_, html, 0600)) return;
  workspace.openFile(file_);
  if (completion) completion();
}

std::shared_ptr<AnalysisPrinter> AnalysisPrinter::create(platform::Workspace& workspace,
                                                         ShowInfoAlert showInfoAlert,
                                                         fs::path temporaryDir) {
  return std::shared_ptr<AnalysisPrinter>(
      new AnalysisPrinter(workspace, std::move(showInfoAlert), std::move(temporaryDir)));
}

AnalysisPrinter::AnalysisPrinter(platform::Workspace& workspace, ShowInfoAlert showInfoAlert,
                                 fs::path temporaryDir)
    : workspace_(workspace),
      showInfoAlert_(std::move(showInfoAlert)),
      temporaryDir_(std::move(temporaryDir)) {
  if (temporaryDir_.empty()) {
    std::error_code ec;
    temporaryDir_ = fs::temp_directory_path(ec);
    if (ec) temporaryDir_ = "/tmp";
  }
}

void AnalysisPrinter::printAnalysisReport(const std::string& html, const std::string& title) {
  if (html.size() > kAnalysisReportMaxBytes) {
    if (showInfoAlert_) showInfoAlert_(kAnalysisReportTooLarge);
    return;
  }
  std::weak_ptr<AnalysisPrinter> weak = weak_from_this();
  auto completion = [weak] {
    if (auto self = weak.lock()) self->analysisPrintJobs_.clear();
  };
  analysisPrintJobs_.push_back(
      std::make_unique<AnalysisPrintJob>(html, title, completion, workspace_, temporaryDir_));
}

}  // namespace solvera
