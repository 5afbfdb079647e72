// The route table's order: method and path decide which rows are asked, the first that
// answers wins, and a row that passes hands the request on; control rows mark their paths.
#include "server/route_table.hpp"

#include <gtest/gtest.h>

// This file's own names: the test programs compile their files together in batches.
namespace route_table_test {

using namespace solvera;

namespace {

http::RequestInfo request(std::string method, std::string path) {
  http::RequestInfo r;
  r.method = std::move(method);
  r.path = std::move(path);
  return r;
}

}  // namespace

TEST(RouteTable, FirstMatchingRowThatAnswersWins) {
  RouteTable<std::string> table;
  auto answer = [](const char* name) {
    return [name](const http::RequestInfo&, std::string& reply) {
      reply = name;
      return true;
    };
  };
  // Passes unless the body says "mine", as the light route does with a body it cannot read.
  auto picky = [](const http::RequestInfo& r, std::string& reply) {
    if (r.body != "mine") return false;
    reply = "picky";
    return true;
  };
  table.add("POST", PathMatch::exact, "/dmx", picky)
      .add("", PathMatch::prefix, "/remote/", answer("remote"))
      .add("POST", PathMatch::prefix, "/audio/", answer("audio"))
      .add("GET", PathMatch::exact, "/remote", answer("remote page"))
      .add("", PathMatch::prefix, "/", answer("catch-all"));

  auto route = [&](const char* method, const char* path, const char* body = "") {
    auto r = request(method, path);
    r.body = body;
    std::string reply = "none";
    return table.dispatch(r, reply) ? reply : "fallback";
  };
  EXPECT_EQ(route("POST", "/dmx", "mine"), "picky");
  EXPECT_EQ(route("POST", "/dmx", "other"), "catch-all") << "a row that passes hands it on";
  EXPECT_EQ(route("GET", "/remote/state"), "remote") << "any method";
  EXPECT_EQ(route("POST", "/remote/command"), "remote");
  EXPECT_EQ(route("GET", "/remote"), "remote page") << "an exact path is not its own prefix";
  EXPECT_EQ(route("POST", "/audio/start"), "audio");
  EXPECT_EQ(route("GET", "/audio/start"), "catch-all") << "the method must match";
  EXPECT_EQ(route("POST", "/audio"), "catch-all") << "the prefix includes its slash";
  EXPECT_EQ(route("GET", "/dmxx"), "catch-all") << "an exact path does not match longer ones";

  RouteTable<std::string> empty;
  std::string reply;
  EXPECT_FALSE(empty.dispatch(request("GET", "/"), reply));
}

TEST(RouteTable, ControlRowsMarkTheirPathsWhateverTheMethod) {
  RouteTable<std::string> table;
  auto answer = [](const http::RequestInfo&, std::string& reply) {
    reply = "answered";
    return true;
  };
  table.add("POST", PathMatch::exact, "/dmx", Access::control, answer)
      .add("GET", PathMatch::exact, "/remote/info", Access::control, answer)
      .add("", PathMatch::prefix, "/remote/", answer)
      .guard(PathMatch::prefix, "/openai/");

  EXPECT_TRUE(table.isControlPath("/dmx")) << "a POST row guards its path for every method";
  EXPECT_FALSE(table.isControlPath("/dmx/x")) << "an exact row guards only its path";
  EXPECT_TRUE(table.isControlPath("/remote/info"));
  EXPECT_FALSE(table.isControlPath("/remote/state")) << "an open row guards nothing";
  EXPECT_TRUE(table.isControlPath("/openai/anything"));
  EXPECT_FALSE(table.isControlPath("/openai"));

  std::string reply = "none";
  EXPECT_FALSE(table.dispatch(request("POST", "/openai/anything"), reply));
  EXPECT_EQ(reply, "none") << "a guard row answers nothing";
}

}  // namespace route_table_test
