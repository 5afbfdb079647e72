// JSON helpers and the script string encoder.
#include <gtest/gtest.h>

#include "common/json.hpp"
#include "common/random.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace json_test {

using namespace solvera;

TEST(JavascriptString, EscapesLikeTheBridgeJsonWriter) {
  EXPECT_EQ(javascriptString(""), "\"\"");
  EXPECT_EQ(javascriptString("a/b"), "\"a\\/b\"");
  EXPECT_EQ(javascriptString("say \"hi\"\\\n"), "\"say \\\"hi\\\"\\\\\\n\"");
  EXPECT_EQ(javascriptString("\b\f\r\t"), "\"\\b\\f\\r\\t\"");
  EXPECT_EQ(javascriptString(std::string("\x01\x1f", 2)), "\"\\u0001\\u001f\"");
  EXPECT_EQ(javascriptString(std::string("nul\0x", 5)), "\"nul\\u0000x\"");
  EXPECT_EQ(javascriptString("é ✓ 😀"), "\"é ✓ 😀\"") << "non-ASCII passes unchanged";
  EXPECT_EQ(javascriptString("</script>"), "\"<\\/script>\"");
  EXPECT_EQ(javascriptString("\xff\xfe"), "\"\"") << "invalid UTF-8 gives the empty literal";
  EXPECT_EQ(javascriptString("\xed\xa0\x80"), "\"\"") << "a surrogate is not UTF-8";
  EXPECT_EQ(javascriptString("\xc0\xaf"), "\"\"") << "an overlong form is not UTF-8";
  EXPECT_EQ(javascriptString("\xe2\x9c"), "\"\"") << "a cut sequence is not UTF-8";
}

TEST(Json, ParseAndCompactDump) {
  std::string error;
  EXPECT_FALSE(parseJson("{", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(parseJson(""));
  EXPECT_FALSE(parseJson("{} trailing"));
  EXPECT_FALSE(parseJson(std::string("{\"a\":1}\0garbage", 15))) << "a NUL does not end the text";
  EXPECT_FALSE(parseOrderedJson(std::string("[\"a\0\"]", 6)));
  auto value = parseOrderedJson(R"({ "b": 1, "a": [true, null] })");
  ASSERT_TRUE(value);
  EXPECT_EQ(compactJson(*value), R"({"b":1,"a":[true,null]})") << "ordered keeps member order";
  EXPECT_FALSE(compactJson(Json(std::string("\xc3"))));
}

TEST(Json, RefusesDocumentsNestedDeeperThan512Levels) {
  auto nested = [](int levels) { return std::string(levels, '[') + std::string(levels, ']'); };
  EXPECT_TRUE(parseJson(nested(512)));
  std::string error;
  EXPECT_FALSE(parseJson(nested(513), &error));
  EXPECT_NE(error.find("512"), std::string::npos);
  EXPECT_FALSE(parseOrderedJson(nested(300000))) << "would overflow the stack when copied";
  EXPECT_TRUE(parseJson("[\"[[[[\\\"[[[\"]" + std::string(600, ' ')))
      << "brackets inside texts do not count";
}

TEST(RandomToken, Is32LowercaseHexDigitsAndDiffers) {
  auto a = randomHexToken();
  auto b = randomHexToken();
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
  EXPECT_TRUE(constantTimeEquals(a, a));
  EXPECT_FALSE(constantTimeEquals(a, b));
  EXPECT_FALSE(constantTimeEquals(a, a.substr(1)));
  EXPECT_FALSE(constantTimeEquals("", "x"));
}

}  // namespace json_test
