// Cloud proxy routes: OpenAI, marketplace and affiliate services.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace solvera {

class StaticServer;

// The routes' side of the proxies: base addresses come from the server's application
// information. Every handler answers (never falls through) and blocks the server's queue until
// its upstream answers or its wait limit passes.
class CloudProxies {
 public:
  explicit CloudProxies(StaticServer& server);
  ~CloudProxies();

  std::optional<std::string> handleAffiliateProfile(const std::string& query);
  std::optional<std::string> handleMarketplaceSubmission(const std::string& body,
                                                         const std::string& publisherCode);
  std::optional<std::string> handleOpenAIAskAI(const std::string& body, const std::string& apiKey);
  std::optional<std::string> handleOpenAIAskAIQuery(const std::string& body,
                                                    const std::string& apiKey);
  std::optional<std::string> handleOpenAISessionDescription(const std::string& body,
                                                            const std::string& apiKey);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace solvera
