// Test support: child processes that end with the test, and a private bus carrying the
// simulated BlueZ with a Muse headband (simulated_headband.py).
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace solvera::test {

// A child process whose standard output is collected line by line on the main loop. It is
// killed when the object goes, and also when the test process dies.
class TestChild {
 public:
  // quiet: its standard error is dropped (for chatty helpers such as the bus daemon).
  TestChild(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            bool quiet = false);
  ~TestChild();
  TestChild(const TestChild&) = delete;
  TestChild& operator=(const TestChild&) = delete;

  const std::vector<std::string>& lines() const;
  // When each line arrived, in microseconds of the monotonic clock.
  const std::vector<std::int64_t>& lineTimesUs() const;
  int pid() const;
  // Runs the main loop until a line satisfies the predicate (from line `from` on); its index.
  std::optional<std::size_t> waitForLine(
      const std::function<bool(const std::string&)>& predicate, std::size_t from = 0,
      std::chrono::milliseconds limit = std::chrono::seconds(60));
  void sendSignal(int signal);
  // The exit status once the process has ended within the limit.
  std::optional<int> waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(60));

 private:
  struct Reader;
  GSubprocess* process_ = nullptr;
  std::shared_ptr<Reader> reader_;
};

class SimulatedBluez {
 public:
  // headbandArgs go to simulated_headband.py; withBluez false leaves the bus without BlueZ.
  explicit SimulatedBluez(const std::vector<std::string>& headbandArgs = {}, bool withBluez = true);
  ~SimulatedBluez();

  const std::string& address() const { return address_; }
  // What happened to the headband, one line each ("connect", "write d", "dropped", ...).
  std::vector<std::string> log() const;
  std::map<std::string, std::string> environment() const {
    return {{"DBUS_SYSTEM_BUS_ADDRESS", address_}};
  }
  // The bridge program under another name: orphan cleanup, run by other test programs at the
  // same time, ends every process called like the bridge.
  std::string bridgeProgram() const;

 private:
  std::filesystem::path dir_;
  std::string address_;
  std::unique_ptr<TestChild> daemon_;
  std::unique_ptr<TestChild> headband_;
};

}  // namespace solvera::test
