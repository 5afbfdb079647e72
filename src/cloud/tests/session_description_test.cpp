// The session description: its normalised payload and its exchange with a stand-in service.
#include <gtest/gtest.h>

#include "cloud/openai.hpp"
#include "cloud/tests/stand_in_service.hpp"
#include "common/json.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace session_description_test {

using namespace solvera;
using test::StandInService;

namespace {

const std::string kKey = "sk-" + std::string(24, 'Z');

std::vector<std::string> keys(const OrderedJson& object) {
  std::vector<std::string> out;
  for (const auto& [k, v] : object.items()) out.push_back(k);
  return out;
}

}  // namespace

TEST(SessionDescriptionPayload, KeepsTheFixedFieldsWithTheirTypesAndLimits) {
  OrderedJson phases = OrderedJson::array();
  for (int i = 0; i < 20; ++i) phases.push_back({{"name", "phase " + std::to_string(i)}});
  phases[0] = {{"audioFrequencyHz", 10}, {"lightFrequencyHz", "10"}, {"halcyonMode", 1},
               {"ganzfeldMode", true}, {"rgb", {{"r", 255}}}, {"rgbIntensity", 0.4},
               {"colorHex", "#FF8800"}, {"bogus", 1}};
  OrderedJson request = {
      {"session", {{"goal", std::string(1000, 'g')}, {"title", 7}, {"carrierFrequencyHz", 200},
                   {"durationMinutes", "30"}, {"phases", phases}, {"unknown", "x"}}},
      {"language", "NL"}};
  OrderedJson payload = cloud::normalizedSessionDescriptionPayload(request);
  EXPECT_EQ(keys(payload), (std::vector<std::string>{"session", "language", "edition"}));
  EXPECT_EQ(payload["language"], "en") << "only exactly \"nl\" selects Dutch";
  EXPECT_EQ(payload["edition"], "Solvera Pro Audio+Light");
  const OrderedJson& s = payload["session"];
  EXPECT_EQ(keys(s), (std::vector<std::string>{
                         "id", "title", "titleEn", "goal", "goalEn", "category",
                         "categoryPurpose", "subcategory", "durationMinutes", "structure",
                         "musicMood", "audioMode", "carrierFrequencyHz", "phases"}));
  EXPECT_EQ(s["goal"], std::string(900, 'g'));
  EXPECT_EQ(s["title"], "");
  EXPECT_EQ(s["carrierFrequencyHz"], 200) << "passed unchanged whatever its type";
  EXPECT_EQ(s["durationMinutes"], "30");
  ASSERT_EQ(s["phases"].size(), 16u);
  EXPECT_EQ(s["phases"][15]["name"], "phase 15");
  const OrderedJson& first = s["phases"][0];
  EXPECT_EQ(keys(first).size(), 22u);
  EXPECT_EQ(first["audioFrequencyHz"], "") << "a number where text is expected";
  EXPECT_EQ(first["lightFrequencyHz"], "10");
  EXPECT_EQ(first["halcyonMode"], false) << "1 is not a boolean";
  EXPECT_EQ(first["ganzfeldMode"], true);
  EXPECT_EQ(first["rgb"], OrderedJson({{"r", 255}}));
  EXPECT_EQ(first["rgbIntensity"], 0.4);
  EXPECT_EQ(first["colorHex"], "#FF8800");
  const OrderedJson& plain = s["phases"][1];
  EXPECT_EQ(plain["rgb"], OrderedJson::object());
  EXPECT_EQ(plain["reverbMix"], nullptr);
  EXPECT_EQ(plain["halcyonMode"], false);
  EXPECT_FALSE(first.contains("bogus"));

  OrderedJson dutch = {{"session", {{"phases", {{{"name", "a"}}, 3}}}},
                       {"language", "nl"},
                       {"edition", std::string(100, 'e')}};
  payload = cloud::normalizedSessionDescriptionPayload(dutch);
  EXPECT_EQ(payload["language"], "nl");
  EXPECT_EQ(payload["edition"], std::string(80, 'e'));
  EXPECT_EQ(payload["session"]["phases"], OrderedJson::array()) << "not an array of objects";
  EXPECT_EQ(payload["session"]["durationMinutes"], nullptr);
}

TEST(SessionDescription, SendsFreeTextRequestAndPassesTheTextOn) {
  StandInService service(StandInService::reply("200 OK", R"({"output_text":"Sessie\nUitleg"})"));
  cloud::HttpUpstream upstream;
  cloud::OpenAIProxy proxy(service.baseURL(), upstream);
  std::string reply = test::awaitReply([&](auto done) {
    proxy.handleOpenAISessionDescription(
        R"({"session":{"id":"s1"},"language":"nl","edition":"Solvera Pro Audio"})", kKey, done);
  });
  EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4), R"({"ok":true,"description":"Sessie\nUitleg"})");

  auto sent = service.requests().at(0);
  EXPECT_EQ(sent.path, "/v1/responses");
  EXPECT_EQ(sent.headers["authorization"], "Bearer " + kKey);
  auto body = parseJson(sent.body).value();
  EXPECT_EQ(body.size(), 4u);
  EXPECT_FALSE(body.contains("text")) << "the model answers in free text";
  EXPECT_EQ(body["model"], "gpt-4.1-mini");
  EXPECT_EQ(body["max_output_tokens"], 2200);
  auto input = parseJson(body["input"].get<std::string>()).value();
  EXPECT_EQ(input["session"]["id"], "s1");
  EXPECT_EQ(input["language"], "nl");
  EXPECT_EQ(input["edition"], "Solvera Pro Audio");
  EXPECT_EQ(body["instructions"],
            "You are Solvera Pro's professional session explainer. "
            "Write a very extensive, premium-quality explanation of exactly the selected Solvera "
            "Pro Audio+Light session supplied by the app. "
            "Use the requested language. If language is nl, write natural Dutch. If language is "
            "en, write natural English. "
            "Explain the session purpose, expected experience, phase-by-phase flow, audio "
            "entrainment, carrier frequency, light frequencies, RGB colour dynamics, pulse "
            "shapes, noise, reverb, Halcyon Immersion™, Boundless Ganzfeld™, and Statecraft "
            "Studio™ elements when present in the data. "
            "When phase data contains non-zero rgbIntensity, whiteIntensity, colorHex, "
            "colourHex, or RGB values, describe those light dynamics accurately. Never state "
            "that RGB colours remain black or that light intensity is zero unless all supplied "
            "light values are actually zero. "
            "Base the explanation only on the supplied session data and careful, conservative "
            "brainwave-entrainment logic. "
            "Do not diagnose, treat, cure, prevent disease, promise medical results, or claim "
            "guaranteed effects. "
            "Use clear headings and practical, confident wording for professional users. "
            "Mention that the session is supportive and that users should choose comfortable "
            "intensity and stop if discomfort occurs. "
            "Return plain text only. "
            "Do not use markdown, hashtags, asterisks, bullets made with symbols, code blocks, "
            "tables, or decorative formatting. "
            "Use simple section titles on their own line without punctuation symbols.");

  service.answerWith(StandInService::reply("200 OK", R"({"output":[]})"));
  reply = test::awaitReply(
      [&](auto done) { proxy.handleOpenAISessionDescription(R"({"session":{}})", kKey, done); });
  EXPECT_EQ(reply.substr(reply.find("\r\n\r\n") + 4), R"({"ok":true,"description":""})");
  service.answerWith(StandInService::reply("200 OK", "[1]"));
  reply = test::awaitReply(
      [&](auto done) { proxy.handleOpenAISessionDescription(R"({"session":{}})", kKey, done); });
  EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "HTTP/1.1 200 Upstream Response");
}

}  // namespace session_description_test
