// The OLA output against a private olad started for the test: what the page is told while olad
// is missing, the waiting request delivered once it is there, a universe olad does not have,
// the blackout, and olad going away.
#include <gtest/gtest.h>

#include "common/error.hpp"
#include "dmx/ola_sender.hpp"
#include "dmx/tests/ola_support.hpp"

// This file's own names: the test programs compile their files together in batches.
namespace ola_test {

using namespace solvera;
using namespace solvera::dmx;
using namespace solvera::dmx::test;
using namespace std::chrono_literals;

namespace {

DmxRequest olaRequest(unsigned universe, std::vector<std::uint8_t> dmx) {
  DmxRequest request;
  request.outputMode = "ola";
  request.universe = static_cast<std::uint16_t>(universe);
  request.dmx = std::move(dmx);
  return request;
}

std::optional<Error> refusal(OlaSender& sender, const DmxRequest& request) {
  try {
    sender.send(request);
  } catch (const ErrorException& e) {
    return e.error();
  }
  return std::nullopt;
}

auto starting(std::vector<std::uint8_t> values) {
  return [values](const OlaFrame& frame) {
    return frame.channels.size() >= values.size() && std::equal(values.begin(), values.end(), frame.channels.begin());
  };
}

}  // namespace

TEST(OlaSender, APrivateOladTakesOurUniverseAndItsAbsenceIsSaid) {
  std::string why;
  if (!OlaSender::available()) GTEST_SKIP() << "built without OLA's client library";
  if (!oladAvailable(&why)) GTEST_SKIP() << why;
  PrivateOlad olad(7);
  OlaSender sender(systemClock(), olad.port());

  const auto missing = refusal(sender, olaRequest(7, {1, 2, 3}));
  ASSERT_TRUE(missing) << "olad does not run yet";
  EXPECT_EQ(*missing, (Error{"SolveraOla", 503,
                             "OLA draait niet: start olad (Open Lighting Architecture) op deze computer, of kies "
                             "een andere lichtuitgang."}));

  olad.start();
  ASSERT_TRUE(olad.ready(20s, &why)) << why;
  OlaUniverseWatcher universe7(olad.port(), 7);
  ASSERT_TRUE(universe7.connected());
  EXPECT_TRUE(universe7.waitFor(starting({1, 2, 3}), 20s)) << "the waiting request reaches olad once it runs";

  const auto unpatched = refusal(sender, olaRequest(9, {5}));
  ASSERT_TRUE(unpatched) << "universe 9 has no port in olad";
  EXPECT_EQ(unpatched->code, 404);
  EXPECT_EQ(unpatched->message, "OLA heeft geen universe 9: koppel in olad eerst een uitgang aan die universe.");

  EXPECT_FALSE(refusal(sender, olaRequest(7, {4, 5, 6})));
  EXPECT_TRUE(universe7.waitFor(starting({4, 5, 6}), 20s));
  EXPECT_TRUE(sender.status().connected);

  sender.blackoutAndStop();
  EXPECT_TRUE(universe7.waitFor(
      [](const OlaFrame& frame) {
        return frame.channels.size() == 512 && std::all_of(frame.channels.begin(), frame.channels.end(),
                                                           [](std::uint8_t v) { return v == 0; });
      },
      20s))
      << "a whole dark frame at blackout";
  EXPECT_FALSE(sender.status().connected) << "and the client let go";

  // olad goes away while a stream runs: a tick finds it gone, and the next request says so.
  EXPECT_FALSE(refusal(sender, olaRequest(7, {9})));
  olad.stop();
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (sender.status().connected && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(10ms);  // polling the sender's state
  }
  EXPECT_FALSE(sender.status().connected);
  const auto gone = refusal(sender, olaRequest(7, {10}));
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->code, 503);
}

}  // namespace ola_test
