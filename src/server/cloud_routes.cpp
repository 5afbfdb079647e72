// Cloud proxy routes over the cloud library, configured from Info.json.
#include "server/cloud_routes.hpp"

#include "cloud/openai.hpp"
#include "cloud/services.hpp"

namespace solvera {

struct CloudProxies::Impl {
  Impl(const AppInfo& info, asio::io_context& queue)
      // A missing OpenAI key means OpenAI's own host; the maker's services have no default.
      : upstream(queue),
        openAI(info.openAIBaseURL.value_or(cloud::kOpenAIDefaultBaseURL), upstream),
        services(info.marketplaceBaseURL.value_or(""), info.webServiceBaseURL.value_or(""),
                 upstream) {}

  cloud::HttpUpstream upstream;  // answers arrive on the server's queue
  cloud::OpenAIProxy openAI;
  cloud::ServiceProxies services;
};

CloudProxies::CloudProxies(const AppInfo& info, asio::io_context& queue)
    : impl_(std::make_unique<Impl>(info, queue)) {}
CloudProxies::~CloudProxies() = default;

void CloudProxies::handleAffiliateProfile(const std::string& query, cloud::ReplyHandler reply) {
  impl_->services.handleAffiliateProfile(query, std::move(reply));
}

void CloudProxies::handleMarketplaceSubmission(const std::string& body,
                                               const std::string& publisherCode,
                                               cloud::ReplyHandler reply) {
  impl_->services.handleMarketplaceSubmission(body, publisherCode, std::move(reply));
}

void CloudProxies::handleOpenAIAskAI(const std::string& body, const std::string& apiKey,
                                     cloud::ReplyHandler reply) {
  impl_->openAI.handleOpenAIAskAI(body, apiKey, std::move(reply));
}

void CloudProxies::handleOpenAIAskAIQuery(const std::string& body, const std::string& apiKey,
                                          cloud::ReplyHandler reply) {
  impl_->openAI.handleOpenAIAskAIQuery(body, apiKey, std::move(reply));
}

void CloudProxies::handleOpenAISessionDescription(const std::string& body,
                                                  const std::string& apiKey,
                                                  cloud::ReplyHandler reply) {
  impl_->openAI.handleOpenAISessionDescription(body, apiKey, std::move(reply));
}

}  // namespace solvera
