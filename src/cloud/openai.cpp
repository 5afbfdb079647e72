// The OpenAI call shared by Ask AI and the session description, and the three endpoints.
#include "cloud/openai.hpp"

#include <functional>
#include <initializer_list>
#include <optional>

#include "cloud/text_limits.hpp"
#include "common/json.hpp"
#include "http/http.hpp"

namespace solvera::cloud {
namespace {

constexpr int kMaxOutputTokensAskAI = 650;
constexpr int kMaxOutputTokensSessionDescription = 2200;
constexpr std::size_t kMaxAskAICandidates = 40;
constexpr std::size_t kMaxSessionPhases = 16;
constexpr std::size_t kQuestionLimit = 600;
constexpr std::size_t kExpandedQuestionLimit = 1200;
constexpr const char* kUnreachableBody = R"({"ok":false,"error":"openai_unreachable"})";
constexpr const char* kDefaultEdition = "Solvera Pro Audio+Light";

std::string joinSentences(std::initializer_list<const char*> sentences) {
  std::string out;
  for (const char* s : sentences) {
    if (!out.empty()) out += ' ';
    out += s;
  }
  return out;
}

std::string errorReply(const std::string& error, std::string_view status) {
  OrderedJson body = {{"ok", false}, {"error", error}};
  return http::jsonResponse(body, status);
}

// A text member cut to its limit; anything that is not a JSON string reads as empty text.
std::string limitedText(const OrderedJson& object, const char* key, std::size_t limit) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return firstCharacters(it->get_ref<const std::string&>(), limit);
}

std::string textOr(const OrderedJson& object, const char* key, const char* fallback) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string(fallback);
}

// Any JSON value unchanged (null included), or the fallback when the member is absent.
OrderedJson valueOr(const OrderedJson& object, const char* key, const OrderedJson& fallback) {
  auto it = object.find(key);
  return it == object.end() ? fallback : *it;
}

OrderedJson firstElements(const OrderedJson& object, const char* key, std::size_t n) {
  OrderedJson out = OrderedJson::array();
  auto it = object.find(key);
  if (it == object.end() || !it->is_array()) return out;
  for (std::size_t i = 0; i < it->size() && i < n; ++i) out.push_back((*it)[i]);
  return out;
}

bool boolOrFalse(const OrderedJson& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

bool isArrayOfObjects(const OrderedJson& value) {
  if (!value.is_array()) return false;
  for (const auto& element : value) {
    if (!element.is_object()) return false;
  }
  return true;
}

OrderedJson normalizedPhase(const OrderedJson& p) {
  OrderedJson rgb = OrderedJson::object();
  if (auto it = p.find("rgb"); it != p.end() && it->is_object()) rgb = *it;
  return OrderedJson{
      {"name", limitedText(p, "name", 120)},
      {"purpose", limitedText(p, "purpose", 400)},
      {"start", limitedText(p, "start", 16)},
      {"end", limitedText(p, "end", 16)},
      {"audioFrequencyHz", limitedText(p, "audioFrequencyHz", 16)},
      {"lightFrequencyHz", limitedText(p, "lightFrequencyHz", 16)},
      {"carrierFrequencyHz", limitedText(p, "carrierFrequencyHz", 16)},
      {"colorHex", limitedText(p, "colorHex", 16)},
      {"rgb", std::move(rgb)},
      {"rgbIntensity", valueOr(p, "rgbIntensity", nullptr)},
      {"whiteIntensity", valueOr(p, "whiteIntensity", nullptr)},
      {"pulseVolume", valueOr(p, "pulseVolume", nullptr)},
      {"musicVolume", valueOr(p, "musicVolume", nullptr)},
      {"noiseVolume", valueOr(p, "noiseVolume", nullptr)},
      {"reverbMix", valueOr(p, "reverbMix", nullptr)},
      {"musicMood", limitedText(p, "musicMood", 80)},
      {"pulseShape", limitedText(p, "pulseShape", 40)},
      {"audioPulseShape", limitedText(p, "audioPulseShape", 40)},
      {"noiseType", limitedText(p, "noiseType", 40)},
      {"reverbPreset", limitedText(p, "reverbPreset", 60)},
      {"halcyonMode", boolOrFalse(p, "halcyonMode")},
      {"ganzfeldMode", boolOrFalse(p, "ganzfeldMode")},
  };
}

// The model's reply text parsed as a JSON value, when the upstream reply is a JSON object.
std::optional<OrderedJson> modelJson(const std::string& replyBytes) {
  auto reply = parseOrderedJson(replyBytes);
  if (!reply || !reply->is_object()) return std::nullopt;
  return parseOrderedJson(openAIOutputText(*reply));
}

// The key check and the parse every endpoint starts with; on a failure the error is replied
// and nothing is returned.
std::optional<OrderedJson> acceptedRequest(const std::string& body, const std::string& apiKey,
                                           const ReplyHandler& reply) {
  if (!isValidOpenAIAPIKey(apiKey)) {
    reply(errorReply("missing_openai_api_key", "401 Unauthorized"));
    return std::nullopt;
  }
  auto request = parseOrderedJson(body);
  if (!request || !request->is_object()) {
    reply(errorReply("invalid_payload", "400 Bad Request"));
    return std::nullopt;
  }
  return request;
}

using SuccessStep = std::function<std::optional<std::string>(const std::string& replyBytes)>;

// Steps 4 to 9 of every OpenAI call: send, and turn the outcome into a reply when it comes.
// The success step gives the reply for a 2xx answer, or nothing when the answer is not usable.
void runOpenAICall(Upstream& upstream, const std::string& url, const std::string& apiKey,
                   const std::string& upstreamBody, UpstreamLimits limits, SuccessStep success,
                   ReplyHandler reply) {
  HttpRequest request;
  request.method = "POST";
  request.url = url;
  request.timeout = limits.requestTimeout;
  request.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + apiKey}};
  request.body = upstreamBody;
  exchangeWithService(
      upstream, request, kUnreachableBody, limits.waitLimit,
      [success = std::move(success), reply = std::move(reply)](const UpstreamResult& result) {
        // A silent service is a time-out whichever limit noticed it first.
        if (!result.completed) return reply(errorReply("openai_timeout", "502 Bad Gateway"));
        if (result.status >= 200 && result.status <= 299) {
          if (auto ok = success(result.body)) return reply(std::move(*ok));
        }
        // The provider's own error body stays with us: it may echo parts of the request.
        reply(errorReply("openai_error", std::to_string(result.status) + " Upstream Response"));
      });
}

std::optional<std::string> serialisedUpstreamBody(const char* instructions,
                                                  const OrderedJson& input,
                                                  const OrderedJson* format, int maxOutputTokens) {
  auto inputText = compactJson(input);
  if (!inputText) return std::nullopt;
  OrderedJson body = {{"model", kOpenAIAskAIModel}, {"instructions", instructions},
                      {"input", *inputText}};
  if (format) body["text"] = OrderedJson{{"format", *format}};
  body["max_output_tokens"] = maxOutputTokens;
  return compactJson(body);
}

OrderedJson stringArraySchema(int maxItems) {
  return OrderedJson{{"type", "array"}, {"maxItems", maxItems}, {"items", {{"type", "string"}}}};
}

}  // namespace

bool isValidOpenAIAPIKey(const std::string& key) {
  constexpr std::string_view prefix = "sk-";
  if (key.size() < prefix.size() + 20 || !key.starts_with(prefix)) return false;
  for (std::size_t i = prefix.size(); i < key.size(); ++i) {
    char c = key[i];
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-';
    if (!allowed) return false;
  }
  return true;
}

OrderedJson normalizedAskAISessions(const OrderedJson& sessions) {
  OrderedJson out = OrderedJson::array();
  if (!sessions.is_array()) return out;
  for (std::size_t i = 0; i < sessions.size() && i < kMaxAskAICandidates; ++i) {
    const OrderedJson& s = sessions[i];
    if (!s.is_object()) continue;
    auto id = s.find("id");
    if (id == s.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) continue;
    out.push_back(OrderedJson{
        {"id", *id},
        {"title", limitedText(s, "title", 120)},
        {"goal", limitedText(s, "goal", 500)},
        {"category", limitedText(s, "category", 80)},
        {"subcategory", limitedText(s, "subcategory", 80)},
        {"durationMinutes", valueOr(s, "durationMinutes", nullptr)},
        {"internalScore", valueOr(s, "internalScore", 0)},
        {"evidenceScore", valueOr(s, "evidenceScore", 0)},
        {"relevanceScore", valueOr(s, "relevanceScore", 0)},
        {"anchorMatch", valueOr(s, "anchorMatch", false)},
        {"matchedTerms", firstElements(s, "matchedTerms", 8)},
        {"topics", firstElements(s, "topics", 5)},
        {"concepts", firstElements(s, "concepts", 5)},
        {"frequencyRangeHz", firstElements(s, "frequencyRangeHz", 2)},
    });
  }
  return out;
}

OrderedJson normalizedSessionDescriptionPayload(const OrderedJson& request) {
  static const OrderedJson kEmptyObject = OrderedJson::object();
  const OrderedJson* sessionPtr = &kEmptyObject;
  if (request.is_object()) {
    if (auto it = request.find("session"); it != request.end() && it->is_object()) {
      sessionPtr = &*it;
    }
  }
  const OrderedJson& s = *sessionPtr;
  OrderedJson phases = OrderedJson::array();
  if (auto it = s.find("phases"); it != s.end() && isArrayOfObjects(*it)) {
    for (std::size_t i = 0; i < it->size() && i < kMaxSessionPhases; ++i) {
      phases.push_back(normalizedPhase((*it)[i]));
    }
  }
  OrderedJson session = {
      {"id", limitedText(s, "id", 120)},
      {"title", limitedText(s, "title", 160)},
      {"titleEn", limitedText(s, "titleEn", 160)},
      {"goal", limitedText(s, "goal", 900)},
      {"goalEn", limitedText(s, "goalEn", 900)},
      {"category", limitedText(s, "category", 120)},
      {"categoryPurpose", limitedText(s, "categoryPurpose", 600)},
      {"subcategory", limitedText(s, "subcategory", 120)},
      {"durationMinutes", valueOr(s, "durationMinutes", nullptr)},
      {"structure", limitedText(s, "structure", 40)},
      {"musicMood", limitedText(s, "musicMood", 80)},
      {"audioMode", limitedText(s, "audioMode", 80)},
      {"carrierFrequencyHz", valueOr(s, "carrierFrequencyHz", nullptr)},
      {"phases", std::move(phases)},
  };
  const OrderedJson& top = request.is_object() ? request : kEmptyObject;
  std::string language = textOr(top, "language", "en") == "nl" ? "nl" : "en";
  std::string edition = firstCharacters(textOr(top, "edition", kDefaultEdition), 80);
  return OrderedJson{{"session", std::move(session)}, {"language", language}, {"edition", edition}};
}

std::string openAIOutputText(const OrderedJson& reply) {
  if (!reply.is_object()) return {};
  if (auto it = reply.find("output_text"); it != reply.end() && it->is_string()) {
    return it->get<std::string>();
  }
  std::string out;
  bool first = true;
  auto output = reply.find("output");
  if (output == reply.end() || !isArrayOfObjects(*output)) return out;
  for (const auto& item : *output) {
    auto content = item.find("content");
    if (content == item.end() || !isArrayOfObjects(*content)) continue;
    for (const auto& part : *content) {
      auto text = part.find("text");
      if (text == part.end() || !text->is_string()) continue;
      if (!first) out += '\n';
      out += text->get_ref<const std::string&>();
      first = false;
    }
  }
  return out;
}

std::string openAIAskAIInstruction() {
  return joinSentences({
      "You are Solvera Pro Ask AI.",
      "Rank only the existing sessions supplied by the app.",
      "Do not invent new sessions, IDs, medical advice, diagnosis, treatment, or claims.",
      "Use the original user question and expandedQuestion to understand synonyms, "
      "translations, lay terms, misspellings, and related concepts.",
      "Prefer candidates with high evidenceScore, relevanceScore, anchorMatch, exact "
      "matchedTerms, matching topics and matching concepts.",
      "Topic matches are strong subject evidence. If the user describes a symptom or lay term, "
      "prefer the matching library topic, for example ear ringing, piep in het oor, or "
      "oorsuizen should rank tinnitus sessions.",
      "For specific fears/phobias, the feared object must match. Never rank fear of flying, "
      "dental anxiety, claustrophobia, spider phobia, fear of heights, or another specific "
      "phobia for a different feared object such as insects.",
      "Do not choose broad category-only matches when a more specific title, tag, concept or "
      "intent match is available.",
      "Return JSON only with recommendations: [{ id, reason }].",
      "Use only IDs from the supplied sessions list.",
      "Keep each reason short, practical, and in the requested language.",
  });
}

std::string openAIAskAIQueryExpansionInstruction() {
  return joinSentences({
      "You improve search queries for an existing Solvera Pro session library.",
      "Convert the user's natural-language request into neutral search language.",
      "Include synonyms, English/Dutch translations, lay terms, common clinical or phobia "
      "names, corrected misspellings, and closely related session-library terms.",
      "Map lay symptom descriptions to common library terms, for example piep in het oor, "
      "oorsuizen, ear ringing, and buzzing in the ear should map to tinnitus.",
      "For example, Dutch lay terms such as engtevrees should map to claustrofobie, "
      "claustrophobia, fear of enclosed spaces, and small spaces.",
      "Do not provide medical advice, diagnosis, treatment, claims, or new session content.",
      "Return JSON only.",
  });
}

std::string openAISessionDescriptionInstruction() {
  return joinSentences({
      "You are Solvera Pro's professional session explainer.",
      "Write a very extensive, premium-quality explanation of exactly the selected Solvera Pro "
      "Audio+Light session supplied by the app.",
      "Use the requested language. If language is nl, write natural Dutch. If language is en, "
      "write natural English.",
      "Explain the session purpose, expected experience, phase-by-phase flow, audio "
      "entrainment, carrier frequency, light frequencies, RGB colour dynamics, pulse shapes, "
      "noise, reverb, Halcyon Immersion\u2122, Boundless Ganzfeld\u2122, and Statecraft "
      "Studio\u2122 elements when present in the data.",
      "When phase data contains non-zero rgbIntensity, whiteIntensity, colorHex, colourHex, or "
      "RGB values, describe those light dynamics accurately. Never state that RGB colours "
      "remain black or that light intensity is zero unless all supplied light values are "
      "actually zero.",
      "Base the explanation only on the supplied session data and careful, conservative "
      "brainwave-entrainment logic.",
      "Do not diagnose, treat, cure, prevent disease, promise medical results, or claim "
      "guaranteed effects.",
      "Use clear headings and practical, confident wording for professional users.",
      "Mention that the session is supportive and that users should choose comfortable "
      "intensity and stop if discomfort occurs.",
      "Return plain text only.",
      "Do not use markdown, hashtags, asterisks, bullets made with symbols, code blocks, "
      "tables, or decorative formatting.",
      "Use simple section titles on their own line without punctuation symbols.",
  });
}

OrderedJson openAIAskAIFormat() {
  OrderedJson item = {
      {"type", "object"},
      {"additionalProperties", false},
      {"required", OrderedJson::array({"id", "reason"})},
      {"properties", {{"id", {{"type", "string"}}}, {"reason", {{"type", "string"}}}}},
  };
  OrderedJson schema = {
      {"type", "object"},
      {"additionalProperties", false},
      {"required", OrderedJson::array({"recommendations"})},
      {"properties",
       {{"recommendations", {{"type", "array"}, {"maxItems", 5}, {"items", std::move(item)}}}}},
  };
  return OrderedJson{{"type", "json_schema"},
                     {"name", "solvera_session_recommendations"},
                     {"strict", true},
                     {"schema", std::move(schema)}};
}

OrderedJson openAIAskAIQueryExpansionFormat() {
  OrderedJson schema = {
      {"type", "object"},
      {"additionalProperties", false},
      {"required", OrderedJson::array({"normalizedQuestion", "searchPhrases", "concepts"})},
      {"properties",
       {{"normalizedQuestion", {{"type", "string"}}},
        {"searchPhrases", stringArraySchema(24)},
        {"concepts", stringArraySchema(12)}}},
  };
  return OrderedJson{{"type", "json_schema"},
                     {"name", "solvera_query_expansion"},
                     {"strict", true},
                     {"schema", std::move(schema)}};
}

OpenAIProxy::OpenAIProxy(const std::string& baseURL, Upstream& upstream, OpenAILimits limits)
    : responsesURL_(serviceURL(baseURL, kOpenAIResponsesPath)),
      upstream_(upstream),
      limits_(limits) {}

void OpenAIProxy::handleOpenAIAskAI(const std::string& body, const std::string& apiKey,
                                    ReplyHandler reply) {
  auto request = acceptedRequest(body, apiKey, reply);
  if (!request) return;
  auto sessions = request->find("sessions");
  if (sessions == request->end() || !isArrayOfObjects(*sessions)) {
    return reply(errorReply("invalid_payload", "400 Bad Request"));
  }
  OrderedJson input = {
      {"language", textOr(*request, "language", "en")},
      {"question", limitedText(*request, "question", kQuestionLimit)},
      {"expandedQuestion", limitedText(*request, "expandedQuestion", kExpandedQuestionLimit)},
      {"sessions", normalizedAskAISessions(*sessions)},
  };
  static const OrderedJson format = openAIAskAIFormat();
  static const std::string instruction = openAIAskAIInstruction();
  auto upstreamBody =
      serialisedUpstreamBody(instruction.c_str(), input, &format, kMaxOutputTokensAskAI);
  if (!upstreamBody) return reply(errorReply("invalid_payload", "400 Bad Request"));
  runOpenAICall(
      upstream_, responsesURL_, apiKey, *upstreamBody, limits_.askAI,
      [](const std::string& answer) -> std::optional<std::string> {
        auto model = modelJson(answer);
        if (!model || !model->is_object()) return std::nullopt;
        auto list = model->find("recommendations");
        if (list == model->end() || !isArrayOfObjects(*list)) return std::nullopt;
        return http::jsonResponse(OrderedJson{{"ok", true}, {"recommendations", *list}});
      },
      std::move(reply));
}

void OpenAIProxy::handleOpenAIAskAIQuery(const std::string& body, const std::string& apiKey,
                                         ReplyHandler reply) {
  auto request = acceptedRequest(body, apiKey, reply);
  if (!request) return;
  OrderedJson input = {
      {"language", textOr(*request, "language", "en")},
      {"question", limitedText(*request, "question", kQuestionLimit)},
  };
  static const OrderedJson format = openAIAskAIQueryExpansionFormat();
  static const std::string instruction = openAIAskAIQueryExpansionInstruction();
  auto upstreamBody =
      serialisedUpstreamBody(instruction.c_str(), input, &format, kMaxOutputTokensAskAI);
  if (!upstreamBody) return reply(errorReply("invalid_payload", "400 Bad Request"));
  runOpenAICall(
      upstream_, responsesURL_, apiKey, *upstreamBody, limits_.askAI,
      [](const std::string& answer) -> std::optional<std::string> {
        auto model = modelJson(answer);
        if (!model || !model->is_object()) return std::nullopt;
        return http::jsonResponse(OrderedJson{{"ok", true}, {"expansion", *model}});
      },
      std::move(reply));
}

void OpenAIProxy::handleOpenAISessionDescription(const std::string& body, const std::string& apiKey,
                                                 ReplyHandler reply) {
  auto request = acceptedRequest(body, apiKey, reply);
  if (!request) return;
  auto session = request->find("session");
  if (session == request->end() || !session->is_object()) {
    return reply(errorReply("invalid_payload", "400 Bad Request"));
  }
  static const std::string instruction = openAISessionDescriptionInstruction();
  auto upstreamBody = serialisedUpstreamBody(instruction.c_str(),
                                             normalizedSessionDescriptionPayload(*request),
                                             nullptr, kMaxOutputTokensSessionDescription);
  if (!upstreamBody) return reply(errorReply("invalid_payload", "400 Bad Request"));
  runOpenAICall(
      upstream_, responsesURL_, apiKey, *upstreamBody, limits_.sessionDescription,
      [](const std::string& answer) -> std::optional<std::string> {
        auto parsed = parseOrderedJson(answer);
        if (!parsed || !parsed->is_object()) return std::nullopt;
        return http::jsonResponse(
            OrderedJson{{"ok", true}, {"description", openAIOutputText(*parsed)}});
      },
      std::move(reply));
}

}  // namespace solvera::cloud
