// Command-line parsing.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/command_line.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace command_line_test {

using namespace solvera;

TEST(CommandLine, ParsesEveryOptionInBothForms) {
  auto cl = parseCommandLine({"--headless", "--port", "9000", "--resources=/opt/r"});
  EXPECT_TRUE(cl.headless);
  EXPECT_EQ(cl.port, 9000);
  EXPECT_EQ(cl.resources, std::filesystem::path("/opt/r"));
  EXPECT_EQ(parseCommandLine({}).port, 8765);
  EXPECT_TRUE(parseCommandLine({"--help"}).help);
  EXPECT_TRUE(parseCommandLine({"--version"}).version);
  EXPECT_EQ(parseCommandLine({"--port=1"}).port, 1);
}

TEST(CommandLine, RefusesWrongInputWithAReason) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--port"}, {"--port", "0"}, {"--port", "65536"},
        {"--port", "12ab"}, {"--port", "-1"}, {"--resources="}, {"--colour"}, {"stray"}}) {
    EXPECT_THROW(parseCommandLine(args), std::invalid_argument) << args[0];
  }
}

TEST(CommandLine, RenderTakesItsSessionOutputAndOptionsAfterGlobalOnes) {
  auto cl = parseCommandLine({"--resources", "/r", "render", "ontspanning-avondrust", "out.flac", "--rate", "48000",
                              "--bits=24", "--from", "1:30", "--to", "1:02:03", "--no-music", "--no-noise"});
  ASSERT_TRUE(cl.render);
  EXPECT_EQ(cl.resources, std::filesystem::path("/r"));
  EXPECT_EQ(cl.render->session, "ontspanning-avondrust");
  EXPECT_EQ(cl.render->output, std::filesystem::path("out.flac"));
  EXPECT_EQ(cl.render->rate, 48000);
  EXPECT_EQ(cl.render->bits, 24);
  EXPECT_EQ(cl.render->fromS, 90);
  EXPECT_EQ(cl.render->toS, 3723);
  EXPECT_TRUE(cl.render->noMusic && cl.render->noNoise);
  EXPECT_FALSE(parseCommandLine({"render", "a", "b.wav"}).render->fromS);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"render", "a"}, {"render", "a", "b", "c"}, {"render", "a", "b", "--bits", "20"},
        {"render", "a", "b", "--rate", "fast"}, {"render", "a", "b", "--from", "1:75"},
        {"render", "a", "b", "--from", "2:00", "--to", "1:00"}, {"render", "a", "b", "--loud"}}) {
    EXPECT_THROW(parseCommandLine(args), std::invalid_argument) << args.back();
  }
}

}  // namespace command_line_test
