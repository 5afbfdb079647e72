// The update check: one exchange with the maker's update service, the order of versions, the
// rules that decide whether to tell the user, and the alert's texts.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cloud/http_client.hpp"
#include "common/app_info.hpp"

namespace solvera::update {

// The preferences key of the version the user acknowledged with "Bekijk changelog".
inline constexpr const char* kAcknowledgedUpdateVersionName = "mirowen.acknowledgedUpdateVersion";
inline constexpr std::chrono::seconds kUpdateCheckInterval{21600};  // 6 hours
inline constexpr std::chrono::seconds kUpdateRequestTimeout{10};
inline constexpr const char* kUpdateAPIPath = "/wp-json/mirowen/v1";
inline constexpr const char* kFallbackAppVersion = "2.0.1";
inline constexpr const char* kFallbackProductCode = "audio-light";

struct UpdateAPIRequest {
  std::string appVersion;   // "app_version"
  std::string productCode;  // "product_code"

  std::string json() const;
};

struct UpdateAPIResponse {
  bool ok = false;
  std::optional<std::string> latestVersion;    // "latest_version"
  std::optional<bool> updateAvailable;         // "update_available"
  std::optional<std::string> changelogURL;     // "changelog_url"
  std::optional<std::string> message;

  // Decodes a reply body: a JSON object with a boolean "ok"; the other members may be absent
  // or null, but a member of another type makes the whole body undecodable.
  static std::optional<UpdateAPIResponse> decode(std::string_view body);
};

class AppUpdateManager {
 public:
  using Completion = std::function<void(std::optional<UpdateAPIResponse>)>;

  // apiBaseURL ends in "/wp-json/mirowen/v1"; empty when the service is not configured.
  AppUpdateManager(std::string apiBaseURL, std::optional<std::string> shortVersion,
                   std::optional<std::string> productCode,
                   cloud::HttpClient& client = cloud::HttpClient::shared(),
                   std::chrono::milliseconds timeout = kUpdateRequestTimeout);
  // The manager of this build: the web service base from Info.json, its version and edition.
  static AppUpdateManager forAppInfo(const AppInfo& info,
                                     cloud::HttpClient& client = cloud::HttpClient::shared());

  // One exchange. The completion runs exactly once, on the main thread, with the decoded
  // response when "ok" is true and nothing in every other case. A service that is not
  // configured is not asked; the completion then receives nothing.
  void check(Completion completion) const;

  std::string appVersion() const;
  std::string productCode() const;
  // True when latestVersion orders strictly after appVersion().
  bool isNewerVersion(const std::string& latestVersion) const;
  const std::string& apiBaseURL() const { return apiBaseURL_; }

 private:
  std::string apiBaseURL_;
  std::optional<std::string> shortVersion_;
  std::optional<std::string> productCode_;
  cloud::HttpClient& client_;
  std::chrono::milliseconds timeout_;
};

// Compares versions as texts with digit runs compared by value and letters without regard to
// case: negative, zero or positive. "2.0.10" orders after "2.0.9".
int compareVersions(std::string_view a, std::string_view b);

// The version to announce, or nothing when any rule says stop: no response; no latest
// version; not newer (the service's update_available true counts as newer); already shown in
// this run; already acknowledged by the user.
std::optional<std::string> versionToAnnounce(const std::optional<UpdateAPIResponse>& response,
                                             const AppUpdateManager& manager,
                                             const std::optional<std::string>& shownUpdateVersion,
                                             const std::optional<std::string>& acknowledgedVersion);

struct UpdateAlertContent {
  std::string title;
  std::string informativeText;
  std::vector<std::string> buttons;  // "Bekijk changelog" (default), "Later"
};

UpdateAlertContent updateAlertContent(const std::string& productDisplayName,
                                      const std::string& latestVersion,
                                      const std::optional<std::string>& message);

// Whether a change-log address may be opened in the browser: an absolute http or https URL.
bool isOpenableChangelogURL(const std::string& url);

}  // namespace solvera::update
