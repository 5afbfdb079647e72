// Cloud proxy routes: OpenAI, marketplace and affiliate services.
#pragma once

#include <memory>
#include <string>

#include "cloud/upstream.hpp"
#include "common/app_info.hpp"

namespace asio {
class io_context;
}

namespace solvera {

// The routes' side of the proxies: base addresses come from the application information.
// Every handler answers (never falls through); the answer comes later on `queue` (the
// server's), which goes on serving meanwhile.
class CloudProxies {
 public:
  CloudProxies(const AppInfo& info, asio::io_context& queue);
  ~CloudProxies();

  void handleAffiliateProfile(const std::string& query, cloud::ReplyHandler reply);
  void handleMarketplaceSubmission(const std::string& body, const std::string& publisherCode,
                                   cloud::ReplyHandler reply);
  void handleOpenAIAskAI(const std::string& body, const std::string& apiKey,
                         cloud::ReplyHandler reply);
  void handleOpenAIAskAIQuery(const std::string& body, const std::string& apiKey,
                              cloud::ReplyHandler reply);
  void handleOpenAISessionDescription(const std::string& body, const std::string& apiKey,
                                      cloud::ReplyHandler reply);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace solvera
