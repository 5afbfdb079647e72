// Analysis reports: the page's HTML document is written to a temporary file and opened with
// the desktop's default application for HTML, from where the user prints it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.hpp"

namespace solvera {

inline constexpr std::size_t kAnalysisReportMaxBytes = 5'000'000;
inline constexpr const char* kAnalysisReportTooLarge =
    "Het analyserapport is te groot om direct af te drukken.";

// Does all its work at construction: writes the report and opens it. The completion runs
// only when the file was written.
class AnalysisPrintJob {
 public:
  AnalysisPrintJob(const std::string& html, const std::string& title,
                   const std::function<void()>& completion, platform::Workspace& workspace,
                   const std::filesystem::path& temporaryDir);

  // The report's file name: the title with "/" and ":" replaced, or "Solvera Pro analyse",
  // followed by ".html".
  static std::string fileName(const std::string& title);
  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
};

class AnalysisPrinter : public std::enable_shared_from_this<AnalysisPrinter> {
 public:
  using ShowInfoAlert = std::function<void(const std::string& message)>;

  // temporaryDir empty: the system temporary folder.
  static std::shared_ptr<AnalysisPrinter> create(platform::Workspace& workspace,
                                                 ShowInfoAlert showInfoAlert,
                                                 std::filesystem::path temporaryDir = {});

  // Main thread.
  void printAnalysisReport(const std::string& html, const std::string& title);
  std::size_t analysisPrintJobCount() const { return analysisPrintJobs_.size(); }

 private:
  AnalysisPrinter(platform::Workspace& workspace, ShowInfoAlert showInfoAlert,
                  std::filesystem::path temporaryDir);

  platform::Workspace& workspace_;
  ShowInfoAlert showInfoAlert_;
  std::filesystem::path temporaryDir_;
  // Keeps jobs alive until one of them completes.
  std::vector<std::unique_ptr<AnalysisPrintJob>> analysisPrintJobs_;
};

}  // namespace solvera
