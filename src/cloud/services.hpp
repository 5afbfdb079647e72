// Marketplace submissions and affiliate-profile lookups, relayed to the maker's web services.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "cloud/upstream.hpp"

namespace solvera::cloud {

inline constexpr const char* kMarketplaceSubmissionPath = "/v2/submissions";
inline constexpr const char* kAffiliateProfilePath = "/wp-json/solvera-affiliate/v1/profile";

class ServiceProxies {
 public:
  // Base addresses where the fixed paths are appended; empty = not configured.
  ServiceProxies(const std::string& marketplaceBaseURL, const std::string& webServiceBaseURL,
                 Upstream& upstream,
                 UpstreamLimits limits = {std::chrono::seconds(20), std::chrono::seconds(22)});

  // Each hands one complete HTTP response to reply: at once for a refused request, otherwise
  // when the service answers or a limit passes. None waits.
  void handleMarketplaceSubmission(const std::string& body, const std::string& publisherCode,
                                   ReplyHandler reply);
  void handleAffiliateProfile(const std::string& query, ReplyHandler reply);

 private:
  std::string marketplaceURL_;
  std::string affiliateURL_;
  Upstream& upstream_;
  UpstreamLimits limits_;
};

// The status lines of a completed exchange with status code S.
std::string marketplaceStatusLine(int status);
std::string affiliateStatusLine(int status);

// A query value encoded for a query item: what RFC 3986 allows in a query stays, and so do
// "@", ":", "/" and "?"; "&", "=", "+" and "#" are encoded so that the value stays one value.
std::string encodeQueryValue(std::string_view value);

}  // namespace solvera::cloud
