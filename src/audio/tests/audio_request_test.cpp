// AudioRequest from a JSON body and from the literal query text.
#include <gtest/gtest.h>

#include <cmath>

#include "audio/audio_request.hpp"
#include "common/error.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace audio_request_test {

using namespace solvera;

namespace {

bool decodeFails(const std::string& body) {
  try {
    AudioRequest::fromJson(body);
  } catch (const ErrorException& e) {
    EXPECT_EQ(e.error().domain, "SolveraAudio");
    EXPECT_FALSE(e.error().message.empty());
    return true;
  }
  return false;
}

}  // namespace

TEST(AudioRequestJson, RequiredAndOptionalFields) {
  auto r = AudioRequest::fromJson(R"({"mode":"binaural","carrier":200,"beat":10,"volume":0.5})");
  EXPECT_EQ(r, (AudioRequest{"binaural", std::nullopt, 200, 10, 0.5, std::nullopt, std::nullopt,
                             std::nullopt, std::nullopt}));

  auto full = AudioRequest::fromJson(
      R"({"treble":-3,"mid":1.5,"bass":12,"balance":-0.25,"volume":1,"beat":7.83,)"
      R"("carrier":432.5,"pulseShape":"trapezoid","mode":"isochronic-monaural","extra":[1]})");
  EXPECT_EQ(full, (AudioRequest{"isochronic-monaural", "trapezoid", 432.5, 7.83, 1, -0.25, 12,
                                1.5, -3}));

  auto words = AudioRequest::fromJson(
      R"({"mode":"delta","pulseShape":"Sine","carrier":1,"beat":2,"volume":3,"balance":null,)"
      R"("bass":null,"pulseShape":null})");
  EXPECT_EQ(words.mode, "delta") << "other words are carried unchanged";
  EXPECT_FALSE(words.pulseShape) << "null is absent (the later duplicate key wins)";
  EXPECT_FALSE(words.balance);
  EXPECT_FALSE(words.bass);
}

TEST(AudioRequestJson, FailsWholeOnAnyViolation) {
  EXPECT_TRUE(decodeFails(R"({"mode":"binaural","carrier":"200","beat":10,"volume":0.5})"));
  EXPECT_TRUE(decodeFails(R"({"carrier":200,"beat":10,"volume":0.5})")) << "mode missing";
  EXPECT_TRUE(decodeFails(R"({"mode":3,"carrier":200,"beat":10,"volume":0.5})"));
  EXPECT_TRUE(decodeFails(R"({"mode":null,"carrier":200,"beat":10,"volume":0.5})"));
  EXPECT_TRUE(decodeFails(R"({"mode":"binaural","carrier":200,"volume":0.5})")) << "no beat";
  EXPECT_TRUE(decodeFails(R"({"mode":"binaural","carrier":200,"beat":10,"volume":null})"));
  EXPECT_TRUE(decodeFails(R"({"mode":"binaural","carrier":200,"beat":true,"volume":0.5})"));
  EXPECT_TRUE(decodeFails(R"({"mode":"a","carrier":2,"beat":1,"volume":1,"pulseShape":1})"));
  EXPECT_TRUE(decodeFails(R"({"mode":"a","carrier":2,"beat":1,"volume":1,"bass":"3"})"));
  EXPECT_TRUE(decodeFails(R"({"mode":"a","carrier":2,"beat":1,"volume":1,"mid":[]})"));
  EXPECT_TRUE(decodeFails(R"([{"mode":"a","carrier":2,"beat":1,"volume":1}])"));
  EXPECT_TRUE(decodeFails(R"({"mode":"a","carrier":2,"beat":1,"volume":1)"));
  EXPECT_TRUE(decodeFails(""));
}

TEST(AudioRequestQuery, BuildsFromLiteralParameters) {
  auto r = AudioRequest::build("mode=monaural&carrier=300&beat=7&volume=0.4", "not json");
  EXPECT_EQ(r, (AudioRequest{"monaural", std::nullopt, 300, 7, 0.4, 0, 0, 0, 0}))
      << "optional numbers default to 0; the body is not read";

  auto loud = AudioRequest::fromQuery("mode=monaural&carrier=300&beat=7&volume=0.4&bass=loud");
  ASSERT_TRUE(loud);
  EXPECT_FALSE(loud->bass) << "present but unparsable: absent";
  EXPECT_EQ(loud->mid, 0.0);

  auto all = AudioRequest::fromQuery(
      "pulseShape=square&treble=-2.5&mid=%31&balance=+0.5&bass=1e1&volume=.5&beat=4.&carrier="
      "1E3&mode=is%6Fchronic&flag");
  ASSERT_TRUE(all);
  EXPECT_EQ(all->mode, "is%6Fchronic") << "no percent-decoding";
  EXPECT_EQ(all->pulseShape, "square");
  EXPECT_EQ(all->carrier, 1000);
  EXPECT_EQ(all->beat, 4);
  EXPECT_EQ(all->volume, 0.5);
  EXPECT_EQ(all->balance, 0.5);
  EXPECT_EQ(all->bass, 10);
  EXPECT_FALSE(all->mid) << "%31 is not a number as it stands";
  EXPECT_EQ(all->treble, -2.5);

  auto repeated = AudioRequest::fromQuery("mode=a&mode=b&carrier=1&beat=2&volume=3");
  ASSERT_TRUE(repeated);
  EXPECT_EQ(repeated->mode, "a") << "the first occurrence wins";
}

TEST(AudioRequestQuery, FallsBackToTheBodyWhenARequiredParameterFails) {
  const std::string body = R"({"mode":"binaural","carrier":200,"beat":10,"volume":0.5})";
  for (const char* query : {"", "token=abc", "mode=monaural&carrier=300&beat=7",
                            "mode=monaural&carrier=300&beat=7&volume", "carrier=1&beat=2&volume=3",
                            "mode=m&carrier=300Hz&beat=7&volume=1", "mode=m&carrier=&beat=7&volume=1",
                            "mode=m&carrier=%20300&beat=7&volume=1", "mode=m&carrier=1e999&beat=7&volume=1"}) {
    EXPECT_FALSE(AudioRequest::fromQuery(query)) << query;
    EXPECT_EQ(AudioRequest::build(query, body).mode, "binaural") << query;
  }
  EXPECT_THROW(AudioRequest::build("mode=monaural&carrier=300&beat=7", ""), ErrorException)
      << "an empty body then fails";
}

TEST(AudioRequestQuery, DecimalParsing) {
  EXPECT_EQ(parseDecimal("-0.25"), -0.25);
  EXPECT_EQ(parseDecimal("+3"), 3.0);
  EXPECT_EQ(parseDecimal("2.5e-1"), 0.25);
  EXPECT_TRUE(std::isinf(*parseDecimal("inf")));
  EXPECT_TRUE(std::isnan(*parseDecimal("nan")));
  for (const char* bad : {"", "+", "+-1", "--1", " 1", "1 ", "1,5", "0x10", "1e", "e5", "."}) {
    EXPECT_FALSE(parseDecimal(bad)) << '"' << bad << '"';
  }
}

}  // namespace audio_request_test
