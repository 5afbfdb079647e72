// Application information from Info.json in the resource folder, and where that folder is.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "common/json_fwd.hpp"

namespace solvera {

inline constexpr const char* kDefaultProductDisplayName = "Solvera Pro Audio+Light";

struct AppInfo {
  // Every key is optional: a missing or non-text value is absent.
  std::optional<std::string> bundleName;              // "CFBundleName"
  std::optional<std::string> shortVersion;            // "CFBundleShortVersionString"
  std::optional<std::string> productCode;             // "SolveraProductCode"
  std::optional<std::string> openAIBaseURL;           // "SolveraOpenAIBaseURL"
  std::optional<std::string> webServiceBaseURL;       // "SolveraWebServiceBaseURL"
  std::optional<std::string> marketplaceBaseURL;      // "SolveraMarketplaceBaseURL"
  std::optional<std::string> contentBaseURL;          // "SolveraContentBaseURL"
  std::optional<std::string> coreMusicLibrarySHA256;  // "SolveraCoreMusicLibrarySHA256"

  // The bundle name when present, else "Solvera Pro Audio+Light".
  std::string productDisplayName() const;

  static AppInfo fromJson(const Json& info);
  // A missing or unreadable file gives an AppInfo with every key absent.
  static AppInfo load(const std::filesystem::path& resourceDir);
};

// --resources when given; else <exe dir>/../share/solvera-pro when it exists; else
// <exe dir>/resources; else nothing (the caller then uses the current directory).
std::optional<std::filesystem::path> resolveResourceDir(
    const std::optional<std::filesystem::path>& override, const std::filesystem::path& exeDir);

// The folder of the running executable.
std::filesystem::path executableDir();

}  // namespace solvera
