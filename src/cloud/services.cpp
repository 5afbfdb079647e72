// The marketplace and affiliate proxies: one upstream request each, bodies passed through.
#include "cloud/services.hpp"

#include "common/json.hpp"
#include "http/http.hpp"

namespace solvera::cloud {
namespace {

constexpr const char* kMarketplaceFallback = R"({"ok":false,"error":"marketplace_unreachable"})";
constexpr const char* kMarketplaceFormatError = R"({"ok":false,"error":"invalid_local_payload"})";
constexpr const char* kAffiliateFallback =
    R"({"code":"affiliate_proxy_unreachable","message":"Affiliate profile service could not be reached.","data":{"status":502}})";
constexpr const char* kAffiliateMissingInput =
    R"({"code":"missing_email","message":"A valid email address or registration code is required.","data":{"status":400}})";
constexpr const char* kSubmissionFormat = "solvera-marketplace-submission";

// The first value of a query parameter, percent-decoded; empty when absent, without a value,
// or not decodable.
std::string decodedQueryValue(std::string_view name, std::string_view query) {
  auto raw = http::queryValue(name, query);
  if (!raw) return {};
  return http::percentDecode(*raw).value_or("");
}

std::string replyBytes(const std::string& statusLine, const std::string& body) {
  return http::httpResponse(statusLine, "application/json", body);
}

// The reply to a finished exchange: nothing arrived in time is 502 with the fallback body.
Upstream::Done relay(std::string (*statusLine)(int), ReplyHandler reply) {
  return [statusLine, reply = std::move(reply)](const UpstreamResult& result) {
    reply(
        replyBytes(result.completed ? statusLine(result.status) : "502 Bad Gateway", result.body));
  };
}

bool hasLineBreakOrNul(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

std::string marketplaceStatusLine(int s) {
  if (s >= 200 && s <= 299) return std::to_string(s) + " OK";
  switch (s) {
    case 400: return "400 Bad Request";
    case 401: return "401 Unauthorized";
    case 502: return "502 Bad Gateway";
    case 503: return "503 Service Unavailable";
    default: return std::to_string(s) + " Upstream Response";
  }
}

std::string affiliateStatusLine(int s) {
  if (s >= 200 && s <= 299) return std::to_string(s) + " OK";
  switch (s) {
    case 400: return "400 Bad Request";
    case 404: return "404 Not Found";
    case 502: return "502 Bad Gateway";
    case 503: return "503 Service Unavailable";
    default: return std::to_string(s) + " Upstream Response";
  }
}

std::string encodeQueryValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  auto keep = [](unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~!$'()*,;:@/?").find(static_cast<char>(c)) !=
           std::string_view::npos;
  };
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    auto c = static_cast<unsigned char>(ch);
    if (keep(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

ServiceProxies::ServiceProxies(const std::string& marketplaceBaseURL,
                               const std::string& webServiceBaseURL, Upstream& upstream,
                               UpstreamLimits limits)
    : marketplaceURL_(serviceURL(marketplaceBaseURL, kMarketplaceSubmissionPath)),
      affiliateURL_(serviceURL(webServiceBaseURL, kAffiliateProfilePath)),
      upstream_(upstream),
      limits_(limits) {}

void ServiceProxies::handleMarketplaceSubmission(const std::string& body,
                                                 const std::string& publisherCode,
                                                 ReplyHandler reply) {
  auto document = parseJson(body);
  bool valid = document && document->is_object();
  if (valid) {
    auto format = document->find("format");
    valid = format != document->end() && format->is_string() && *format == kSubmissionFormat;
  }
  // A line break would let the code add headers of its own to the upstream request.
  if (!valid || hasLineBreakOrNul(publisherCode)) {
    return reply(replyBytes("400 Bad Request", kMarketplaceFormatError));
  }
  HttpRequest request;
  request.method = "POST";
  request.url = marketplaceURL_;
  request.timeout = limits_.requestTimeout;
  request.headers = {{"Content-Type", "application/json"},
                     {"X-Solvera-Publisher-Code", publisherCode}};
  request.body = body;
  exchangeWithService(upstream_, request, kMarketplaceFallback, limits_.waitLimit,
                      relay(marketplaceStatusLine, std::move(reply)));
}

void ServiceProxies::handleAffiliateProfile(const std::string& query, ReplyHandler reply) {
  std::string email = decodedQueryValue("email", query);
  std::string licenseKey = decodedQueryValue("license_key", query);
  if (email.empty() && licenseKey.empty()) {
    return reply(replyBytes("400 Bad Request", kAffiliateMissingInput));
  }
  HttpRequest request;
  request.method = "GET";
  if (!affiliateURL_.empty()) {
    std::string items;
    if (!email.empty()) items += "email=" + encodeQueryValue(email);
    if (!licenseKey.empty()) {
      items += items.empty() ? "" : "&";
      items += "license_key=" + encodeQueryValue(licenseKey);
    }
    request.url = affiliateURL_ + "?" + items;
  }
  request.timeout = limits_.requestTimeout;
  request.headers = {{"Accept", "application/json"}};
  exchangeWithService(upstream_, request, kAffiliateFallback, limits_.waitLimit,
                      relay(affiliateStatusLine, std::move(reply)));
}

}  // namespace solvera::cloud
