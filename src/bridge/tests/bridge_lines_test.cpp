// Splitting the bridge's bytes into event lines.
#include <gtest/gtest.h>

#include "bridge/bridge_lines.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace bridge_lines_test {

using namespace solvera;

namespace {

std::vector<std::string> feed(BridgeLineBuffer& buffer, const std::vector<std::string>& reads) {
  std::vector<std::string> events;
  for (const auto& r : reads) {
    buffer.append(r, [&](std::string_view e) { events.emplace_back(e); });
  }
  return events;
}

}  // namespace

TEST(BridgeLines, AcceptsTrimmedJsonObjectsOnlyAndCountsTheRest) {
  BridgeLineBuffer buffer;
  auto events =
      feed(buffer, {
                       "  {x}  \r\n",                           // object-shaped, not JSON
                       "[1,2]\n",                               // an array
                       "{\"open\":1\n",                         // no closing brace
                       "{\"bad\":\"\xFF\"}\n",                  // undecodable
                       "\n\r\n   \n",                           // blank lines: not counted
                       "\xC2\xA0\t{\"nbsp\":1}\xE2\x80\x83\n",  // Unicode spaces trimmed too
                       "{}\n",
                       "text {\"inside\":1}\n",
                       "{\"a\":1}{\"b\":2}\n",  // two objects are not one
                       " {\"n\":[1,{\"m\":\"}\"}]} \n",
                       std::string("{}\0{x}\n", 7),  // a NUL does not end the object
                   });
  EXPECT_EQ(events, (std::vector<std::string>{"{\"nbsp\":1}", "{}", "{\"n\":[1,{\"m\":\"}\"}]}"}));
  EXPECT_EQ(buffer.droppedLines(), 7u);
  EXPECT_EQ(buffer.bufferedBytes(), 0u);
}

TEST(BridgeLines, KeepsAnUnfinishedLineUntilItsLineFeed) {
  BridgeLineBuffer buffer;
  EXPECT_TRUE(feed(buffer, {"{\"a\":1}\n{\"sp", "lit\":"}).size() == 1);
  EXPECT_EQ(buffer.bufferedBytes(), 9u);
  EXPECT_EQ(feed(buffer, {"2}\n{\"c\":3}\n"}),
            (std::vector<std::string>{"{\"split\":2}", "{\"c\":3}"}));
  EXPECT_EQ(buffer.bufferedBytes(), 0u);
  feed(buffer, {"{\"lost"});
  buffer.clear();
  EXPECT_EQ(feed(buffer, {"\"}\n{\"d\":4}\n"}), (std::vector<std::string>{"{\"d\":4}"}));
}

TEST(BridgeLines, DropsALineThatGrowsPastTheLimitThroughItsLineFeed) {
  BridgeLineBuffer buffer(16);
  std::string exact = "{\"k\":\"" + std::string(8, 'x') + "\"}";  // 16 bytes: allowed
  EXPECT_EQ(feed(buffer, {exact + "\n"}), (std::vector<std::string>{exact}));
  auto events =
      feed(buffer, {"{" + std::string(10, 'y'), std::string(10, 'y'), "yy}\n{\"next\":1}\n"});
  EXPECT_EQ(events, (std::vector<std::string>{"{\"next\":1}"})) << "no tail of the long line";
  EXPECT_EQ(feed(buffer, {"{" + std::string(20, 'z') + "}\n{\"after\":2}\n"}),
            (std::vector<std::string>{"{\"after\":2}"}))
      << "a long line in one read";
  EXPECT_LE(buffer.bufferedBytes(), 16u);
  EXPECT_EQ(buffer.droppedLines(), 2u) << "each long line counts once";

  BridgeLineBuffer real;
  std::string big(BridgeLineBuffer::kMaxLineBytes, 'q');
  for (int i = 0; i < 3; ++i) feed(real, {big});
  EXPECT_LE(real.bufferedBytes(), BridgeLineBuffer::kMaxLineBytes) << "memory stays bounded";
  EXPECT_EQ(feed(real, {"}\n{\"ok\":1}\n"}), (std::vector<std::string>{"{\"ok\":1}"}));
}

TEST(BridgeLines, TrimsWhitespaceAtBothEndsOnly) {
  EXPECT_EQ(trimWhitespace(" \t\r\n a b \xE3\x80\x80"), "a b");
  EXPECT_EQ(trimWhitespace("\xE2\x80\xA8"), "");
  EXPECT_EQ(trimWhitespace("\xC3\xA9"), "\xC3\xA9") << "a letter is not white space";
  EXPECT_EQ(eventOfLine("{"), "");
  EXPECT_EQ(eventOfLine(" {\"\xC3\xA9\":1} "), "{\"\xC3\xA9\":1}");
}

}  // namespace bridge_lines_test
