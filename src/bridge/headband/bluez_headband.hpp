// The headband over BlueZ (D-Bus, through GIO): find a powered adapter, find the headband,
// connect, start its notifications and commands, reconnect after a dropout, and halt it and
// disconnect on stop. Everything runs on the thread-default main context.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <functional>
#include <memory>

#include "bridge/headband/headband_stream.hpp"

namespace solvera::headband {

struct BluezOptions {
  // How long a first search may last before the bridge says it found nothing.
  std::chrono::milliseconds scanTimeout{30'000};
  std::chrono::milliseconds connectTimeout{25'000};
  // How long connected services may take to appear.
  std::chrono::milliseconds resolveTimeout{15'000};
  // Reconnection attempts wait this long, doubling up to the maximum.
  std::chrono::milliseconds reconnectDelay{1'000};
  std::chrono::milliseconds reconnectDelayMax{8'000};
  // Connected but silent for this long counts as a dropout.
  std::chrono::milliseconds silenceLimit{5'000};
};

// Exit statuses of the bridge.
inline constexpr int kExitStopped = 0;
inline constexpr int kExitBluetoothUnusable = 2;
inline constexpr int kExitNoHeadband = 3;
inline constexpr int kExitNotAHeadband = 4;

class BluezHeadband {
 public:
  using Sink = HeadbandStream::Sink;
  using Finished = std::function<void(int exitStatus)>;

  // bus is the system bus (or a private bus standing in for it); it is referenced.
  static std::shared_ptr<BluezHeadband> create(GDBusConnection* bus, Sink sink, Finished finished,
                                               BluezOptions options = {});
  ~BluezHeadband();

  void start();
  // Halts the headband ("h"), disconnects and finishes with kExitStopped. A second call
  // finishes at once.
  void stop();

  const HeadbandStream& stream() const;

 private:
  struct Impl;
  explicit BluezHeadband(std::unique_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

// The bridge's status event: {"type":"status","status":word,"message":text}, with a "reason"
// word when Bluetooth cannot be used (the page words it in its other languages).
HeadbandStream::Event statusEvent(const char* status, const std::string& message,
                                  const char* reason = nullptr);

}  // namespace solvera::headband
