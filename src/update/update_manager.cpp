// The update service exchange, the version order, the decision rules and the alert texts.
#include "update/update_manager.hpp"

#include <glib.h>
#include <unicode/uchar.h>

#include "cloud/upstream.hpp"
#include "common/json.hpp"
#include "common/main_thread.hpp"

namespace solvera::update {
namespace {

// An optional member: absent or null gives nothing; another type than expected fails.
template <typename T>
bool readOptional(const Json& object, const char* key, std::optional<T>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if constexpr (std::is_same_v<T, bool>) {
    if (!it->is_boolean()) return false;
  } else {
    if (!it->is_string()) return false;
  }
  out = it->get<T>();
  return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The next code point of a UTF-8 text; a stray byte counts as one code point of its own.
UChar32 nextCodePoint(std::string_view s, std::size_t& i) {
  auto c = static_cast<unsigned char>(s[i]);
  std::size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  if (extra == 0 || i + extra >= s.size()) {
    ++i;
    return c;
  }
  UChar32 cp = c & (0x3F >> extra);
  for (std::size_t k = 1; k <= extra; ++k) {
    auto cont = static_cast<unsigned char>(s[i + k]);
    if ((cont & 0xC0) != 0x80) {
      ++i;
      return c;
    }
    cp = (cp << 6) | (cont & 0x3F);
  }
  i += extra + 1;
  return cp;
}

}  // namespace

std::string UpdateAPIRequest::json() const {
  return compactJson(OrderedJson{{"app_version", appVersion}, {"product_code", productCode}})
      .value_or("{}");
}

std::optional<UpdateAPIResponse> UpdateAPIResponse::decode(std::string_view body) {
  auto parsed = parseJson(body);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  auto ok = parsed->find("ok");
  if (ok == parsed->end() || !ok->is_boolean()) return std::nullopt;
  UpdateAPIResponse r;
  r.ok = ok->get<bool>();
  if (!readOptional(*parsed, "latest_version", r.latestVersion) ||
      !readOptional(*parsed, "update_available", r.updateAvailable) ||
      !readOptional(*parsed, "changelog_url", r.changelogURL) ||
      !readOptional(*parsed, "message", r.message)) {
    return std::nullopt;
  }
  return r;
}

AppUpdateManager::AppUpdateManager(std::string apiBaseURL, std::optional<std::string> shortVersion,
                                   std::optional<std::string> productCode,
                                   cloud::HttpClient& client, std::chrono::milliseconds timeout)
    : apiBaseURL_(std::move(apiBaseURL)),
      shortVersion_(std::move(shortVersion)),
      productCode_(std::move(productCode)),
      client_(client),
      timeout_(timeout) {}

AppUpdateManager AppUpdateManager::forAppInfo(const AppInfo& info, cloud::HttpClient& client) {
  return AppUpdateManager(cloud::serviceURL(info.webServiceBaseURL.value_or(""), kUpdateAPIPath),
                          info.shortVersion, info.productCode, client);
}

std::string AppUpdateManager::appVersion() const {
  return shortVersion_.value_or(kFallbackAppVersion);
}

std::string AppUpdateManager::productCode() const {
  return productCode_.value_or(kFallbackProductCode);
}

bool AppUpdateManager::isNewerVersion(const std::string& latestVersion) const {
  return compareVersions(latestVersion, appVersion()) > 0;
}

void AppUpdateManager::check(Completion completion) const {
  auto deliver = [completion = std::move(completion)](std::optional<UpdateAPIResponse> r) {
    mainthread::post([completion, r = std::move(r)] { completion(r); });
  };
  if (apiBaseURL_.empty()) return deliver(std::nullopt);
  cloud::HttpRequest request;
  request.method = "POST";
  request.url = apiBaseURL_ + "/update";
  request.timeout = timeout_;
  request.headers = {{"Content-Type", "application/json"}};
  request.body = UpdateAPIRequest{appVersion(), productCode()}.json();
  // The status code is not looked at: a body that decodes with "ok" true is the answer.
  client_.start(std::move(request), [deliver](cloud::HttpResponse response) {
    std::optional<UpdateAPIResponse> decoded;
    if (!response.error && response.body) decoded = UpdateAPIResponse::decode(*response.body);
    if (decoded && !decoded->ok) decoded.reset();
    deliver(std::move(decoded));
  });
}

int compareVersions(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      std::size_t si = i, sj = j;
      while (i < a.size() && isDigit(a[i])) ++i;
      while (j < b.size() && isDigit(b[j])) ++j;
      std::string_view ra = a.substr(si, i - si), rb = b.substr(sj, j - sj);
      ra.remove_prefix(std::min(ra.find_first_not_of('0'), ra.size()));
      rb.remove_prefix(std::min(rb.find_first_not_of('0'), rb.size()));
      // Without leading zeros, the longer run is the larger number.
      if (ra.size() != rb.size()) return ra.size() < rb.size() ? -1 : 1;
      if (int c = ra.compare(rb); c != 0) return c < 0 ? -1 : 1;
      continue;
    }
    UChar32 ca = u_foldCase(nextCodePoint(a, i), U_FOLD_CASE_DEFAULT);
    UChar32 cb = u_foldCase(nextCodePoint(b, j), U_FOLD_CASE_DEFAULT);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

std::optional<std::string> versionToAnnounce(const std::optional<UpdateAPIResponse>& response,
                                             const AppUpdateManager& manager,
                                             const std::optional<std::string>& shownUpdateVersion,
                                             const std::optional<std::string>& acknowledgedVersion) {
  if (!response || !response->latestVersion) return std::nullopt;
  const std::string& latest = *response->latestVersion;
  // The service's own verdict wins over the comparison.
  bool newer = response->updateAvailable.value_or(false) || manager.isNewerVersion(latest);
  if (!newer) return std::nullopt;
  if (shownUpdateVersion == latest) return std::nullopt;
  if (acknowledgedVersion == latest) return std::nullopt;
  return latest;
}

UpdateAlertContent updateAlertContent(const std::string& productDisplayName,
                                      const std::string& latestVersion,
                                      const std::optional<std::string>& message) {
  std::string text = message ? *message : productDisplayName + " " + latestVersion + " is beschikbaar.";
  return {"Update beschikbaar", std::move(text), {"Bekijk changelog", "Later"}};
}

bool isOpenableChangelogURL(const std::string& url) {
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
  if (!uri) return false;
  const char* scheme = g_uri_get_scheme(uri);
  const char* host = g_uri_get_host(uri);
  bool ok = scheme && (g_ascii_strcasecmp(scheme, "http") == 0 ||
                       g_ascii_strcasecmp(scheme, "https") == 0) &&
            host && *host;
  g_uri_unref(uri);
  return ok;
}

}  // namespace solvera::update
