// Cloud proxy routes over the cloud library, configured from Info.json.
#include "server/cloud_routes.hpp"

#include "cloud/openai.hpp"
#include "cloud/services.hpp"
#include "server/static_server.hpp"

namespace solvera {

struct CloudProxies::Impl {
  explicit Impl(const AppInfo& info)
      // A missing OpenAI key means OpenAI's own host; the maker's services have no default.
      : openAI(info.openAIBaseURL.value_or(cloud::kOpenAIDefaultBaseURL), upstream),
        services(info.marketplaceBaseURL.value_or(""), info.webServiceBaseURL.value_or(""),
                 upstream) {}

  cloud::HttpUpstream upstream;
  cloud::OpenAIProxy openAI;
  cloud::ServiceProxies services;
};

CloudProxies::CloudProxies(StaticServer& server)
    : impl_(std::make_unique<Impl>(server.options().appInfo)) {}
CloudProxies::~CloudProxies() = default;

std::optional<std::string> CloudProxies::handleAffiliateProfile(const std::string& query) {
  return impl_->services.handleAffiliateProfile(query);
}

std::optional<std::string> CloudProxies::handleMarketplaceSubmission(
    const std::string& body, const std::string& publisherCode) {
  return impl_->services.handleMarketplaceSubmission(body, publisherCode);
}

std::optional<std::string> CloudProxies::handleOpenAIAskAI(const std::string& body,
                                                           const std::string& apiKey) {
  return impl_->openAI.handleOpenAIAskAI(body, apiKey);
}

std::optional<std::string> CloudProxies::handleOpenAIAskAIQuery(const std::string& body,
                                                                const std::string& apiKey) {
  return impl_->openAI.handleOpenAIAskAIQuery(body, apiKey);
}

std::optional<std::string> CloudProxies::handleOpenAISessionDescription(
    const std::string& body, const std::string& apiKey) {
  return impl_->openAI.handleOpenAISessionDescription(body, apiKey);
}

}  // namespace solvera
