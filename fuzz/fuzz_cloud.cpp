// Fuzzes what the cloud proxies and the update check read from the page and from services:
// request bodies, affiliate queries, model replies, update replies and version texts.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cloud/openai.hpp"
#include "cloud/services.hpp"
#include "cloud/text_limits.hpp"
#include "update/update_manager.hpp"

namespace {

// Answers every exchange with the fuzzed bytes, without any traffic.
struct EchoUpstream : solvera::cloud::Upstream {
  std::string reply;
  void exchange(const solvera::cloud::HttpRequest&, const std::string&, std::chrono::milliseconds,
                Done done) override {
    done({true, 200, reply});
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace solvera;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string key = "sk-" + std::string(20, 'a');
  EchoUpstream upstream;
  upstream.reply = bytes;
  cloud::OpenAIProxy openAI("http://127.0.0.1:1", upstream);
  cloud::ServiceProxies services("http://127.0.0.1:1", "http://127.0.0.1:1", upstream);

  auto ignore = [](std::string) {};
  openAI.handleOpenAIAskAI(bytes, key, ignore);
  openAI.handleOpenAIAskAIQuery(bytes, key, ignore);
  openAI.handleOpenAISessionDescription(bytes, key, ignore);
  services.handleMarketplaceSubmission(bytes, bytes, ignore);
  services.handleAffiliateProfile(bytes, ignore);
  cloud::firstCharacters(bytes, size % 64);
  update::UpdateAPIResponse::decode(bytes);
  std::size_t half = size / 2;
  update::compareVersions(std::string_view(bytes).substr(0, half),
                          std::string_view(bytes).substr(half));
  return 0;
}
