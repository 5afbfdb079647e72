// Info.json reading and the resource folder rules.
#include "common/app_info.hpp"

#include "common/files.hpp"
#include "common/json.hpp"

namespace solvera {
namespace fs = std::filesystem;

namespace {
std::optional<std::string> text(const Json& info, const char* key) {
  auto it = info.find(key);
  if (it == info.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}
}  // namespace

std::string AppInfo::productDisplayName() const {
  return bundleName.value_or(kDefaultProductDisplayName);
}

AppInfo AppInfo::fromJson(const Json& info) {
  AppInfo a;
  if (!info.is_object()) return a;
  a.bundleName = text(info, "CFBundleName");
  a.shortVersion = text(info, "CFBundleShortVersionString");
  a.productCode = text(info, "SolveraProductCode");
  a.openAIBaseURL = text(info, "SolveraOpenAIBaseURL");
  a.webServiceBaseURL = text(info, "SolveraWebServiceBaseURL");
  a.marketplaceBaseURL = text(info, "SolveraMarketplaceBaseURL");
  a.contentBaseURL = text(info, "SolveraContentBaseURL");
  a.coreMusicLibrarySHA256 = text(info, "SolveraCoreMusicLibrarySHA256");
  return a;
}

AppInfo AppInfo::load(const fs::path& resourceDir) {
  auto bytes = readWholeFile(resourceDir / "Info.json");
  if (!bytes) return {};
  auto parsed = parseJson(*bytes);
  return parsed ? fromJson(*parsed) : AppInfo{};
}

std::optional<fs::path> resolveResourceDir(const std::optional<fs::path>& override,
                                           const fs::path& exeDir) {
  if (override) return *override;
  std::error_code ec;
  fs::path installed = exeDir / ".." / "share" / "solvera-pro";
  if (fs::is_directory(installed, ec)) return fs::weakly_canonical(installed, ec);
  fs::path buildTree = exeDir / "resources";
  if (fs::is_directory(buildTree, ec)) return buildTree;
  return std::nullopt;
}

fs::path executableDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::current_path() : exe.parent_path();
}

}  // namespace solvera
