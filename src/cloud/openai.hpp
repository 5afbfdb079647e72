// Ask AI (ranking and query expansion) and the session description, relayed to the OpenAI
// Responses API with the user's own key.
#pragma once

#include <chrono>
#include <string>

#include "cloud/upstream.hpp"
#include "common/json_fwd.hpp"

namespace solvera::cloud {

inline constexpr const char* kOpenAIDefaultBaseURL = "https://api.openai.com";
inline constexpr const char* kOpenAIResponsesPath = "/v1/responses";
inline constexpr const char* kOpenAIAskAIModel = "gpt-4.1-mini";

struct OpenAILimits {
  UpstreamLimits askAI{std::chrono::seconds(25), std::chrono::seconds(27)};
  UpstreamLimits sessionDescription{std::chrono::seconds(35), std::chrono::seconds(37)};
};

class OpenAIProxy {
 public:
  // baseURL: where "/v1/responses" is appended; empty = not configured.
  OpenAIProxy(const std::string& baseURL, Upstream& upstream, OpenAILimits limits = {});

  // Each hands one complete HTTP response to reply: at once for a refused request, otherwise
  // when the upstream answers or a limit passes (on the upstream's executor). None waits.
  void handleOpenAIAskAI(const std::string& body, const std::string& apiKey, ReplyHandler reply);
  void handleOpenAIAskAIQuery(const std::string& body, const std::string& apiKey,
                              ReplyHandler reply);
  void handleOpenAISessionDescription(const std::string& body, const std::string& apiKey,
                                      ReplyHandler reply);

 private:
  std::string responsesURL_;
  Upstream& upstream_;
  OpenAILimits limits_;
};

// True when the whole key matches ^sk-[A-Za-z0-9_-]{20,}$.
bool isValidOpenAIAPIKey(const std::string& key);

// The first 40 candidates, those without a non-empty text "id" left out, each reduced to the
// fields the model needs with their limits. sessions must be an array.
OrderedJson normalizedAskAISessions(const OrderedJson& sessions);

// The session reduced to its fixed fields with limits, its first 16 phases, and the language
// and edition of the request. request must be an object whose "session" is an object.
OrderedJson normalizedSessionDescriptionPayload(const OrderedJson& request);

// The model's text of a Responses API reply: "output_text", else the texts of the output's
// content parts joined with line feeds.
std::string openAIOutputText(const OrderedJson& reply);

std::string openAIAskAIInstruction();
std::string openAIAskAIQueryExpansionInstruction();
std::string openAISessionDescriptionInstruction();

// The two structured-output formats (the value of "text"."format").
OrderedJson openAIAskAIFormat();
OrderedJson openAIAskAIQueryExpansionFormat();

}  // namespace solvera::cloud
