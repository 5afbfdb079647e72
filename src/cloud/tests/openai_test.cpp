// Ask AI and the session description against a stand-in OpenAI service on loopback.
#include <gtest/gtest.h>

#include "cloud/openai.hpp"
#include "cloud/tests/stand_in_service.hpp"
#include "common/json.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace openai_test {

using namespace solvera;
using namespace std::chrono_literals;
using test::StandInService;

namespace {

const std::string kKey = "sk-" + std::string(20, 'a');

struct Reply {
  std::string status;
  Json body;
};

Reply parse(const std::string& bytes) {
  auto head = bytes.find("\r\n\r\n");
  return {bytes.substr(9, bytes.find("\r\n") - 9),
          parseJson(bytes.substr(head + 4)).value_or(Json())};
}

// The model's answer wrapped as the Responses API does, in "output" content parts.
std::string responsesReply(const std::string& modelText) {
  return Json{{"id", "resp_1"},
              {"output", {{{"type", "message"}, {"content", {{{"type", "output_text"},
                                                              {"text", modelText}}}}}}}}
      .dump();
}

struct Fixture {
  explicit Fixture(cloud::OpenAILimits limits = {}) : proxy(service.baseURL(), upstream, limits) {}
  // The upstream body of the last request, parsed, with its "input" text parsed too.
  Json lastBody() {
    auto body = parseJson(service.requests().back().body).value();
    body["input"] = parseJson(body["input"].get<std::string>()).value();
    return body;
  }
  StandInService service;
  cloud::HttpUpstream upstream;
  cloud::OpenAIProxy proxy;
};

std::string joined(const std::vector<std::string>& sentences) {
  std::string out;
  for (const auto& s : sentences) out += (out.empty() ? "" : " ") + s;
  return out;
}

}  // namespace

TEST(OpenAIKey, PatternIsCheckedBeforeAnythingElseAndWithoutTraffic) {
  EXPECT_FALSE(cloud::isValidOpenAIAPIKey("sk-" + std::string(19, 'a')));
  EXPECT_TRUE(cloud::isValidOpenAIAPIKey("sk-" + std::string(20, 'a')));
  EXPECT_TRUE(cloud::isValidOpenAIAPIKey("sk-proj_AZaz09-" + std::string(20, '_')));
  EXPECT_FALSE(cloud::isValidOpenAIAPIKey("sk-" + std::string(20, 'a') + " "));
  EXPECT_FALSE(cloud::isValidOpenAIAPIKey("sk-" + std::string(10, 'a') + "." + std::string(10, 'a')));
  EXPECT_FALSE(cloud::isValidOpenAIAPIKey(" sk-" + std::string(20, 'a')));
  EXPECT_FALSE(cloud::isValidOpenAIAPIKey(""));

  Fixture f;
  for (auto handler : {&cloud::OpenAIProxy::handleOpenAIAskAI,
                        &cloud::OpenAIProxy::handleOpenAIAskAIQuery,
                        &cloud::OpenAIProxy::handleOpenAISessionDescription}) {
    auto r = parse(
        test::awaitReply([&](auto done) { (f.proxy.*handler)("not json", "sk-short", done); }));
    EXPECT_EQ(r.status, "401 Unauthorized");
    EXPECT_EQ(r.body, Json({{"ok", false}, {"error", "missing_openai_api_key"}}));
  }
  EXPECT_EQ(f.service.connectionCount(), 0u);
}

TEST(OpenAIPayload, MalformedBodiesAreRefusedWithoutTraffic) {
  Fixture f;
  for (const char* body : {"not json", "[]", "{}", R"({"sessions":{}})", R"({"sessions":[1]})"}) {
    auto r =
        parse(test::awaitReply([&](auto done) { f.proxy.handleOpenAIAskAI(body, kKey, done); }));
    EXPECT_EQ(r.status, "400 Bad Request") << body;
    EXPECT_EQ(r.body, Json({{"ok", false}, {"error", "invalid_payload"}})) << body;
  }
  EXPECT_EQ(parse(test::awaitReply([&](auto done) {
              f.proxy.handleOpenAIAskAIQuery("[1]", kKey, done);
            })).status,
            "400 Bad Request");
  for (const char* body : {"{}", R"({"session":[]})", R"({"session":"x"})"}) {
    EXPECT_EQ(parse(test::awaitReply([&](auto done) {
                f.proxy.handleOpenAISessionDescription(body, kKey, done);
              })).status,
              "400 Bad Request")
        << body;
  }
  EXPECT_EQ(f.service.connectionCount(), 0u);
}

TEST(OpenAIAskAI, SendsTheExactRankingRequestAndRelaysTheRecommendations) {
  Fixture f;
  std::string recommendations = R"({"recommendations":[{"id":"s1","reason":"Rustig."}]})";
  f.service.answerWith(StandInService::reply("200 OK", responsesReply(recommendations)));
  Json sessions = Json::array();
  for (int i = 0; i < 45; ++i) sessions.push_back({{"id", "s" + std::to_string(i)}});
  sessions[1] = {{"title", "no id"}};
  sessions[2]["id"] = "";
  sessions[3] = {{"id", "full"}, {"title", 12}, {"matchedTerms", Json(std::vector<int>(200, 1))},
                 {"topics", "not an array"}, {"anchorMatch", true}, {"internalScore", 3.5},
                 {"durationMinutes", 20}, {"frequencyRangeHz", {4, 8, 12}}, {"extra", 1}};
  std::string oe;  // 1000 characters of "o" with a combining diaeresis: 3 bytes each
  for (int i = 0; i < 1000; ++i) oe += "o\xCC\x88";
  Json request = {{"sessions", sessions}, {"question", oe}, {"expandedQuestion", std::string(2000, 'q')}};

  auto r = parse(
      test::awaitReply([&](auto done) { f.proxy.handleOpenAIAskAI(request.dump(), kKey, done); }));
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(r.body, Json::parse(R"({"ok":true,"recommendations":[{"id":"s1","reason":"Rustig."}]})"));

  ASSERT_EQ(f.service.requests().size(), 1u);
  auto sent = f.service.requests()[0];
  EXPECT_EQ(sent.method, "POST");
  EXPECT_EQ(sent.path, "/v1/responses");
  EXPECT_EQ(sent.headers["content-type"], "application/json");
  EXPECT_EQ(sent.headers["authorization"], "Bearer " + kKey);
  Json body = f.lastBody();
  EXPECT_EQ(body["model"], "gpt-4.1-mini");
  EXPECT_EQ(body["max_output_tokens"], 650);
  EXPECT_EQ(body["text"], Json::parse(R"({"format":{"type":"json_schema",
    "name":"solvera_session_recommendations","strict":true,"schema":{"type":"object",
    "additionalProperties":false,"required":["recommendations"],"properties":{
    "recommendations":{"type":"array","maxItems":5,"items":{"type":"object",
    "additionalProperties":false,"required":["id","reason"],"properties":{
    "id":{"type":"string"},"reason":{"type":"string"}}}}}}}})"));
  EXPECT_EQ(body["instructions"], joined({
      "You are Solvera Pro Ask AI.",
      "Rank only the existing sessions supplied by the app.",
      "Do not invent new sessions, IDs, medical advice, diagnosis, treatment, or claims.",
      "Use the original user question and expandedQuestion to understand synonyms, translations, lay terms, misspellings, and related concepts.",
      "Prefer candidates with high evidenceScore, relevanceScore, anchorMatch, exact matchedTerms, matching topics and matching concepts.",
      "Topic matches are strong subject evidence. If the user describes a symptom or lay term, prefer the matching library topic, for example ear ringing, piep in het oor, or oorsuizen should rank tinnitus sessions.",
      "For specific fears/phobias, the feared object must match. Never rank fear of flying, dental anxiety, claustrophobia, spider phobia, fear of heights, or another specific phobia for a different feared object such as insects.",
      "Do not choose broad category-only matches when a more specific title, tag, concept or intent match is available.",
      "Return JSON only with recommendations: [{ id, reason }].",
      "Use only IDs from the supplied sessions list.",
      "Keep each reason short, practical, and in the requested language."}));

  const Json& input = body["input"];
  EXPECT_EQ(input["language"], "en");
  EXPECT_EQ(input["question"], oe.substr(0, 600 * 3)) << "600 characters, accents kept whole";
  EXPECT_EQ(input["expandedQuestion"], std::string(1200, 'q'));
  const Json& candidates = input["sessions"];
  ASSERT_EQ(candidates.size(), 38u) << "first 40, two without an id";
  EXPECT_EQ(candidates[0]["id"], "s0");
  EXPECT_EQ(candidates[1]["id"], "full");
  EXPECT_EQ(candidates.back()["id"], "s39");
  EXPECT_EQ(candidates[0], Json::parse(R"({"id":"s0","title":"","goal":"","category":"",
    "subcategory":"","durationMinutes":null,"internalScore":0,"evidenceScore":0,
    "relevanceScore":0,"anchorMatch":false,"matchedTerms":[],"topics":[],"concepts":[],
    "frequencyRangeHz":[]})"));
  const Json& full = candidates[1];
  EXPECT_EQ(full["title"], "") << "a number where text is expected";
  EXPECT_EQ(full["matchedTerms"].size(), 8u);
  EXPECT_EQ(full["topics"], Json::array());
  EXPECT_EQ(full["frequencyRangeHz"], Json({4, 8}));
  EXPECT_EQ(full["internalScore"], 3.5);
  EXPECT_EQ(full["durationMinutes"], 20);
  EXPECT_EQ(full["anchorMatch"], true);
  EXPECT_FALSE(full.contains("extra"));
}

TEST(OpenAIAskAIQuery, SendsTheExpansionRequestAndRelaysTheWholeObject) {
  Fixture f;
  std::string expansion =
      R"({"normalizedQuestion":"tinnitus","searchPhrases":["oorsuizen"],"concepts":["tinnitus"]})";
  f.service.answerWith(StandInService::reply("200 OK", Json{{"output_text", expansion}}.dump()));
  auto r = parse(test::awaitReply([&](auto done) {
    f.proxy.handleOpenAIAskAIQuery(
        Json{{"language", "nl"}, {"question", std::string(700, 'x')}, {"other", 1}}.dump(), kKey,
        done);
  }));
  EXPECT_EQ(r.status, "200 OK");
  EXPECT_EQ(r.body, Json({{"ok", true}, {"expansion", Json::parse(expansion)}}));
  Json body = f.lastBody();
  EXPECT_EQ(body["input"], Json({{"language", "nl"}, {"question", std::string(600, 'x')}}));
  EXPECT_EQ(body["max_output_tokens"], 650);
  EXPECT_EQ(body["text"], Json::parse(R"({"format":{"type":"json_schema",
    "name":"solvera_query_expansion","strict":true,"schema":{"type":"object",
    "additionalProperties":false,"required":["normalizedQuestion","searchPhrases","concepts"],
    "properties":{"normalizedQuestion":{"type":"string"},
    "searchPhrases":{"type":"array","maxItems":24,"items":{"type":"string"}},
    "concepts":{"type":"array","maxItems":12,"items":{"type":"string"}}}}}})"));
  EXPECT_EQ(body["instructions"], joined({
      "You improve search queries for an existing Solvera Pro session library.",
      "Convert the user's natural-language request into neutral search language.",
      "Include synonyms, English/Dutch translations, lay terms, common clinical or phobia names, corrected misspellings, and closely related session-library terms.",
      "Map lay symptom descriptions to common library terms, for example piep in het oor, oorsuizen, ear ringing, and buzzing in the ear should map to tinnitus.",
      "For example, Dutch lay terms such as engtevrees should map to claustrofobie, claustrophobia, fear of enclosed spaces, and small spaces.",
      "Do not provide medical advice, diagnosis, treatment, claims, or new session content.",
      "Return JSON only."}));
}

TEST(OpenAICall, EveryUpstreamOutcomeHasItsReply) {
  Fixture f;
  std::string ask = R"({"sessions":[]})";
  auto expectError = [&](const std::string& status, const std::string& error) {
    auto r =
        parse(test::awaitReply([&](auto done) { f.proxy.handleOpenAIAskAI(ask, kKey, done); }));
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.body, Json({{"ok", false}, {"error", error}})) << status;
  };
  f.service.answerWith(StandInService::reply("200 OK", responsesReply("Sorry, no JSON here.")));
  expectError("200 Upstream Response", "openai_error");
  f.service.answerWith(StandInService::reply("200 OK", responsesReply(R"({"recommendations":{}})")));
  expectError("200 Upstream Response", "openai_error");
  f.service.answerWith(StandInService::reply("200 OK", "<html>proxy page</html>", "text/html"));
  expectError("200 Upstream Response", "openai_error");
  for (const char* line : {"401 Unauthorized", "429 Too Many Requests", "503 Service Unavailable"}) {
    f.service.answerWith(StandInService::reply(line, R"({"error":{"message":"secret detail"}})"));
    expectError(std::string(line, 3) + " Upstream Response", "openai_error");
  }
  EXPECT_EQ(f.service.requests().size(), 6u);

  cloud::OpenAIProxy refused("http://127.0.0.1:" + std::to_string(test::refusedLoopbackPort()),
                             f.upstream);
  EXPECT_EQ(parse(test::awaitReply([&](auto done) {
              refused.handleOpenAIAskAI(ask, kKey, done);
            })).status,
            "502 Upstream Response");
  cloud::OpenAIProxy notConfigured("", f.upstream);
  EXPECT_EQ(parse(test::awaitReply([&](auto done) {
              notConfigured.handleOpenAIAskAIQuery("{}", kKey, done);
            })).status,
            "502 Upstream Response");
}

TEST(OpenAICall, AnAnswerThatNeverFinishesEndsInATimeOutAfterTheWaitLimit) {
  cloud::OpenAILimits limits{{1s, 2s}, {1s, 2s}};
  Fixture f(limits);
  f.service.answerWith(StandInService::trickle());
  auto start = std::chrono::steady_clock::now();
  auto r = parse(test::awaitReply(
      [&](auto done) { f.proxy.handleOpenAISessionDescription(R"({"session":{}})", kKey, done); }));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, "502 Bad Gateway");
  EXPECT_EQ(r.body, Json({{"ok", false}, {"error", "openai_timeout"}}));
  EXPECT_GE(elapsed, 2s);

  // A service that never says a word ends at the request time-out, also as a time-out.
  cloud::OpenAILimits slowWait{{1s, 60s}, {1s, 60s}};
  Fixture silent(slowWait);
  silent.service.answerWith(StandInService::silent());
  r = parse(test::awaitReply(
      [&](auto done) { silent.proxy.handleOpenAIAskAI(R"({"sessions":[]})", kKey, done); }));
  EXPECT_EQ(r.status, "502 Bad Gateway");
  EXPECT_EQ(r.body, Json({{"ok", false}, {"error", "openai_timeout"}}));
}

TEST(OpenAIOutputText, ReadsOutputTextOrJoinsTheContentParts) {
  EXPECT_EQ(cloud::openAIOutputText(OrderedJson::parse(R"({"output_text":"","output":[]})")), "");
  EXPECT_EQ(cloud::openAIOutputText(OrderedJson::parse(R"({"output":[
      {"content":[{"text":"a"},{"type":"refusal"}]},{"type":"reasoning"},
      {"content":[{"text":"b"}]}]})")), "a\nb");
  EXPECT_EQ(cloud::openAIOutputText(OrderedJson::parse(R"({"output":{"content":[]}})")), "");
  EXPECT_EQ(cloud::openAIOutputText(OrderedJson::parse(R"({"output_text":5})")), "");
}

}  // namespace openai_test
