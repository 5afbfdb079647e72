// Cutting to user-perceived characters.
#include <gtest/gtest.h>

#include "cloud/text_limits.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace text_limits_test {

using solvera::cloud::firstCharacters;

TEST(FirstCharacters, CountsGraphemeClustersNotBytesOrCodePoints) {
  EXPECT_EQ(firstCharacters("abcdef", 3), "abc");
  EXPECT_EQ(firstCharacters("abc", 3), "abc");
  EXPECT_EQ(firstCharacters("abc", 0), "");
  EXPECT_EQ(firstCharacters("", 5), "");
  // Precomposed é is two bytes: three of them are three characters.
  EXPECT_EQ(firstCharacters("éééé", 3), "ééé");
  // e + combining acute accent is one character of three bytes.
  std::string decomposed = "e\xCC\x81";
  EXPECT_EQ(firstCharacters(decomposed + decomposed + decomposed, 2), decomposed + decomposed);
  // A family emoji (man ZWJ woman ZWJ girl) is one character of 18 bytes.
  std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  EXPECT_EQ(firstCharacters(family + "x" + family, 2), family + "x");
  EXPECT_EQ(firstCharacters(family, 1), family);
  // A flag is two regional indicators: one character.
  std::string flag = "\xF0\x9F\x87\xB3\xF0\x9F\x87\xB1";
  EXPECT_EQ(firstCharacters(flag + flag, 1), flag);
  // CR LF is one character.
  EXPECT_EQ(firstCharacters("\r\nab", 2), "\r\na");
}

TEST(FirstCharacters, InvalidUtf8GivesEmptyText) {
  EXPECT_EQ(firstCharacters("ab\xC3", 1), "");
  EXPECT_EQ(firstCharacters("\xFF", 4), "");
}

TEST(FirstCharacters, LongTextsAreCutExactly) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "ü";  // two bytes each
  std::string cut = firstCharacters(text, 600);
  EXPECT_EQ(cut.size(), 1200u);
  EXPECT_EQ(cut, text.substr(0, 1200));
}

}  // namespace text_limits_test
