// Command-line parsing.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/command_line.hpp"

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
