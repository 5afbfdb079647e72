// SolveraMuseBridge: reads a Muse EEG headband over Bluetooth LE through BlueZ and writes its
// events, one JSON object per line, on standard output. Exit statuses:
//   0  stopped on request (SIGTERM or SIGINT): the headband was halted and disconnected
//   2  Bluetooth unusable (no system bus, no BlueZ, no adapter, adapter off)
//   3  no headband found while searching
//   4  the device found lacks the headband's measuring channels
#include <gio/gio.h>
#include <glib-unix.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bridge/headband/bluez_headband.hpp"
#include "common/json.hpp"

namespace {

using solvera::headband::HeadbandStream;

constexpr const char* kSource = "solvera-muse-bridge";

long long nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void emit(HeadbandStream::Event event) {
  event["source"] = kSource;
  event["receivedAt"] = nowMs();
  std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  line += '\n';
  // A reader that went away must not end us before the headband is halted.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

struct Run {
  GMainLoop* loop = nullptr;
  int exitStatus = 0;
  std::shared_ptr<solvera::headband::BluezHeadband> headband;
};

gboolean onStopSignal(gpointer data) {
  auto* run = static_cast<Run*>(data);
  if (run->headband) run->headband->stop();
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main() {
  ::signal(SIGPIPE, SIG_IGN);
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!bus) {
    g_clear_error(&error);
    emit(solvera::headband::statusEvent(
        "unavailable", "Bluetooth is niet bereikbaar: deze computer heeft geen systeembus.",
        "noBus"));
    return solvera::headband::kExitBluetoothUnusable;
  }
  // The bus going away must not end the process before we say so.
  g_dbus_connection_set_exit_on_close(bus, FALSE);

  Run run;
  run.loop = g_main_loop_new(nullptr, FALSE);
  run.headband = solvera::headband::BluezHeadband::create(bus, emit, [&run](int status) {
    run.exitStatus = status;
    g_main_loop_quit(run.loop);
  });
  g_signal_connect(
      bus, "closed", G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer data) {
        auto* run = static_cast<Run*>(data);
        emit(solvera::headband::statusEvent(
            "unavailable", "De verbinding met de Bluetooth-dienst is weggevallen.", "busLost"));
        run->exitStatus = solvera::headband::kExitBluetoothUnusable;
        g_main_loop_quit(run->loop);
      }),
      &run);
  g_unix_signal_add(SIGTERM, onStopSignal, &run);
  g_unix_signal_add(SIGINT, onStopSignal, &run);
  run.headband->start();
  g_main_loop_run(run.loop);

  run.headband.reset();
  g_main_loop_unref(run.loop);
  g_object_unref(bus);
  return run.exitStatus;
}
