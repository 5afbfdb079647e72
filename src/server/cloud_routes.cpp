// Cloud proxy routes. Not wired in yet: these requests fall through.
#include "server/cloud_routes.hpp"

namespace solvera {

CloudProxies::CloudProxies(StaticServer& server) : server_(server) {}
CloudProxies::~CloudProxies() = default;
std::optional<std::string> CloudProxies::handleAffiliateProfile(const std::string&) {
  return std::nullopt;
}
std::optional<std::string> CloudProxies::handleMarketplaceSubmission(const std::string&,
                                                                     const std::string&) {
  return std::nullopt;
}
std::optional<std::string> CloudProxies::handleOpenAIAskAI(const std::string&, const std::string&) {
  return std::nullopt;
}
std::optional<std::string> CloudProxies::handleOpenAIAskAIQuery(const std::string&,
                                                                const std::string&) {
  return std::nullopt;
}
std::optional<std::string> CloudProxies::handleOpenAISessionDescription(const std::string&,
                                                                        const std::string&) {
  return std::nullopt;
}

}  // namespace solvera
