// Cloud proxy routes: OpenAI, marketplace and affiliate services.
#pragma once

#include <optional>
#include <string>

namespace solvera {

class StaticServer;

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
  [[maybe_unused]] StaticServer& server_;
};

}  // namespace solvera
