// SolveraMuseBridge: looks for a Muse EEG headband over Bluetooth Low Energy through BlueZ
// and reports what it finds as one JSON event per line on standard output. Connecting to the
// headband and streaming its readings is not part of this program yet, so it always ends
// with a status line and a non-zero exit status:
//   2  Bluetooth unusable (no system bus, no BlueZ, no adapter, adapter off)
//   3  no headband found while scanning
//   4  a headband was found, but streaming from it is not supported yet
#include <gio/gio.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace {

constexpr int kScanSeconds = 15;
constexpr const char* kSource = "solvera-muse-bridge";

long long nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void emit(nlohmann::ordered_json event) {
  event["source"] = kSource;
  event["receivedAt"] = nowMs();
  std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void status(const std::string& word, const std::string& message) {
  nlohmann::ordered_json event;
  event["type"] = "status";
  event["status"] = word;
  event["message"] = message;
  emit(std::move(event));
}

struct Headband {
  std::string name;
  std::string address;
};

// A Muse headband advertises itself by a name beginning with "Muse" ("Muse-1A2B", "MuseS-...").
std::optional<Headband> headbandOf(GVariant* deviceProperties) {
  const gchar* name = nullptr;
  if (!g_variant_lookup(deviceProperties, "Name", "&s", &name) &&
      !g_variant_lookup(deviceProperties, "Alias", "&s", &name)) {
    return std::nullopt;
  }
  if (!g_str_has_prefix(name, "Muse")) return std::nullopt;
  const gchar* address = "";
  g_variant_lookup(deviceProperties, "Address", "&s", &address);
  return Headband{name, address};
}

struct Scan {
  GMainLoop* loop = nullptr;
  std::optional<Headband> found;
};

void onInterfacesAdded(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                       GVariant* parameters, gpointer data) {
  auto* scan = static_cast<Scan*>(data);
  const gchar* path = nullptr;
  GVariant* interfaces = nullptr;
  g_variant_get(parameters, "(&o@a{sa{sv}})", &path, &interfaces);
  GVariant* device =
      g_variant_lookup_value(interfaces, "org.bluez.Device1", G_VARIANT_TYPE_VARDICT);
  if (device) {
    if (auto headband = headbandOf(device); headband && !scan->found) {
      scan->found = headband;
      g_main_loop_quit(scan->loop);
    }
    g_variant_unref(device);
  }
  g_variant_unref(interfaces);
}

GVariant* callBluez(GDBusConnection* bus, const char* path, const char* interface,
                    const char* method, GVariant* args, const GVariantType* replyType,
                    GError** error) {
  return g_dbus_connection_call_sync(bus, "org.bluez", path, interface, method, args, replyType,
                                     G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, error);
}

int reportFound(const Headband& headband) {
  nlohmann::ordered_json event;
  event["type"] = "status";
  event["status"] = "found";
  event["message"] = "Muse headband " + headband.name + " found.";
  event["name"] = headband.name;
  event["address"] = headband.address;
  emit(std::move(event));
  status("unavailable", "Streaming from the Muse headband is not supported by this bridge yet.");
  return 4;
}

}  // namespace

int main() {
  status("scanning", "Looking for a Muse headband over Bluetooth Low Energy.");

  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!bus) {
    status("unavailable", std::string("Bluetooth is not reachable: ") + error->message);
    g_error_free(error);
    return 2;
  }
  GVariant* objects = callBluez(bus, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                                nullptr, G_VARIANT_TYPE("(a{oa{sa{sv}}})"), &error);
  if (!objects) {
    status("unavailable", "The Bluetooth service (BlueZ) is not running.");
    g_error_free(error);
    g_object_unref(bus);
    return 2;
  }

  std::string adapter;
  bool anyAdapter = false;
  std::optional<Headband> known;
  GVariantIter* iter = nullptr;
  const gchar* path = nullptr;
  GVariant* interfaces = nullptr;
  g_variant_get(objects, "(a{oa{sa{sv}}})", &iter);
  while (g_variant_iter_next(iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
    if (GVariant* a =
            g_variant_lookup_value(interfaces, "org.bluez.Adapter1", G_VARIANT_TYPE_VARDICT)) {
      anyAdapter = true;
      gboolean powered = FALSE;
      g_variant_lookup(a, "Powered", "b", &powered);
      if (powered && adapter.empty()) adapter = path;
      g_variant_unref(a);
    }
    if (GVariant* d =
            g_variant_lookup_value(interfaces, "org.bluez.Device1", G_VARIANT_TYPE_VARDICT)) {
      if (!known) known = headbandOf(d);
      g_variant_unref(d);
    }
    g_variant_unref(interfaces);
  }
  g_variant_iter_free(iter);
  g_variant_unref(objects);

  int exitStatus = 0;
  if (!anyAdapter) {
    status("unavailable", "No Bluetooth adapter found.");
    exitStatus = 2;
  } else if (adapter.empty()) {
    status("unavailable", "The Bluetooth adapter is switched off.");
    exitStatus = 2;
  } else if (known) {
    exitStatus = reportFound(*known);
  } else {
    Scan scan;
    scan.loop = g_main_loop_new(nullptr, FALSE);
    guint subscription = g_dbus_connection_signal_subscribe(
        bus, "org.bluez", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onInterfacesAdded, &scan, nullptr);
    GVariantBuilder filter;
    g_variant_builder_init(&filter, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&filter, "{sv}", "Transport", g_variant_new_string("le"));
    if (GVariant* r = callBluez(bus, adapter.c_str(), "org.bluez.Adapter1", "SetDiscoveryFilter",
                                g_variant_new("(a{sv})", &filter), nullptr, nullptr)) {
      g_variant_unref(r);
    }
    GVariant* started = callBluez(bus, adapter.c_str(), "org.bluez.Adapter1", "StartDiscovery",
                                  nullptr, nullptr, &error);
    if (!started) {
      status("unavailable", std::string("Bluetooth scanning failed: ") + error->message);
      g_clear_error(&error);
      exitStatus = 2;
    } else {
      g_variant_unref(started);
      g_timeout_add_seconds(
          kScanSeconds,
          [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
          },
          scan.loop);
      g_main_loop_run(scan.loop);
      if (GVariant* r = callBluez(bus, adapter.c_str(), "org.bluez.Adapter1", "StopDiscovery",
                                  nullptr, nullptr, nullptr)) {
        g_variant_unref(r);
      }
      if (scan.found) {
        exitStatus = reportFound(*scan.found);
      } else {
        status("unavailable", "No Muse headband found.");
        exitStatus = 3;
      }
    }
    g_dbus_connection_signal_unsubscribe(bus, subscription);
    g_main_loop_unref(scan.loop);
  }
  g_object_unref(bus);
  return exitStatus;
}
