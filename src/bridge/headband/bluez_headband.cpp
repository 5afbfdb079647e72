// The BlueZ side of the bridge: asynchronous D-Bus calls only, so that a stop request is
// answered while a connection attempt is still pending.
#include "bridge/headband/bluez_headband.hpp"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace solvera::headband {

namespace {

constexpr const char* kBluez = "org.bluez";
constexpr const char* kAdapter = "org.bluez.Adapter1";
constexpr const char* kDevice = "org.bluez.Device1";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr int kQuickCallMs = 5'000;
constexpr int kStopCallMs = 1'000;

// What the page shows, as it is.
namespace text {
constexpr const char* kScanning = "Zoekt naar een Muse-hoofdband…";
constexpr const char* kNoBluez =
    "Bluetooth is niet beschikbaar: de Bluetooth-dienst draait niet op deze computer.";
constexpr const char* kNoAdapter = "Er is geen Bluetooth-adapter gevonden.";
constexpr const char* kAdapterOff = "Bluetooth staat uit. Zet Bluetooth aan en zoek opnieuw.";
constexpr const char* kScanFailed = "Zoeken via Bluetooth lukte niet. Probeer het opnieuw.";
constexpr const char* kNotFound =
    "Geen Muse-hoofdband gevonden. Zet de hoofdband aan en zoek opnieuw.";
constexpr const char* kNotAHeadband =
    "Het gevonden apparaat heeft de meetkanalen van een Muse-hoofdband niet.";
constexpr const char* kStreaming = "Metingen komen binnen.";
constexpr const char* kDisconnected = "De verbinding met de hoofdband is verbroken.";
constexpr const char* kReconnecting = "Opnieuw verbinden met de hoofdband…";
}  // namespace text

bool startsWith(const char* s, const char* prefix) {
  return s && g_str_has_prefix(s, prefix);
}

// A Muse headband advertises the service 0xFE8D, and names itself "Muse…".
bool isHeadband(GVariant* deviceProperties) {
  const gchar* name = nullptr;
  if ((g_variant_lookup(deviceProperties, "Name", "&s", &name) && startsWith(name, "Muse")) ||
      (g_variant_lookup(deviceProperties, "Alias", "&s", &name) && startsWith(name, "Muse"))) {
    return true;
  }
  GVariantIter* uuids = nullptr;
  bool found = false;
  if (g_variant_lookup(deviceProperties, "UUIDs", "as", &uuids)) {
    const gchar* uuid = nullptr;
    while (g_variant_iter_next(uuids, "&s", &uuid)) {
      if (g_ascii_strcasecmp(uuid, kServiceUuid.data()) == 0) found = true;
    }
    g_variant_iter_free(uuids);
  }
  return found;
}

std::string deviceName(GVariant* deviceProperties) {
  const gchar* name = nullptr;
  if (g_variant_lookup(deviceProperties, "Alias", "&s", &name) ||
      g_variant_lookup(deviceProperties, "Name", "&s", &name)) {
    return name;
  }
  return "Muse";
}

bool hasRemoteError(const GError* error, const char* name) {
  if (!error || !g_dbus_error_is_remote_error(error)) return false;
  gchar* remote = g_dbus_error_get_remote_error(error);
  const bool same = g_strcmp0(remote, name) == 0;
  g_free(remote);
  return same;
}

// Calls visit(path, properties) for each object of a GetManagedObjects reply that has the
// interface.
void forEachObjectWith(GVariant* reply, const char* interface,
                       const std::function<void(const gchar* path, GVariant* properties)>& visit) {
  GVariant* objects = g_variant_get_child_value(reply, 0);
  GVariantIter iter;
  g_variant_iter_init(&iter, objects);
  const gchar* path = nullptr;
  GVariant* interfaces = nullptr;
  while (g_variant_iter_next(&iter, "{&o@a{sa{sv}}}", &path, &interfaces)) {
    if (GVariant* props = g_variant_lookup_value(interfaces, interface, G_VARIANT_TYPE_VARDICT)) {
      visit(path, props);
      g_variant_unref(props);
    }
    g_variant_unref(interfaces);
  }
  g_variant_unref(objects);
}

GVariant* bytesVariant(const std::vector<std::uint8_t>& bytes) {
  return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
}

}  // namespace

HeadbandStream::Event statusEvent(const char* status, const std::string& message,
                                  const char* reason) {
  HeadbandStream::Event event;
  event["type"] = "status";
  event["status"] = status;
  event["message"] = message;
  if (reason) event["reason"] = reason;
  return event;
}

struct BluezHeadband::Impl : std::enable_shared_from_this<BluezHeadband::Impl> {
  enum class State {
    Idle,
    Scanning,
    Connecting,
    Resolving,
    Starting,
    Streaming,
    Waiting,
    Stopping,
    Done
  };

  Impl(GDBusConnection* connection, Sink s, Finished f, BluezOptions o)
      : bus(G_DBUS_CONNECTION(g_object_ref(connection))),
        sink(std::move(s)),
        finished(std::move(f)),
        options(o),
        cancellable(g_cancellable_new()),
        stream([this](HeadbandStream::Event e) { sink(std::move(e)); }) {}

  ~Impl() {
    g_cancellable_cancel(cancellable);
    clearTimers();
    for (guint id : subscriptions) g_dbus_connection_signal_unsubscribe(bus, id);
    g_object_unref(cancellable);
    g_object_unref(bus);
  }

  GDBusConnection* bus;
  Sink sink;
  Finished finished;
  BluezOptions options;
  GCancellable* cancellable;
  HeadbandStream stream;

  State state = State::Idle;
  std::string adapterPath;
  std::string devicePath;
  std::string name;
  bool deviceGone = false;
  bool everConnected = false;
  bool servicesChecking = false;
  bool servicesRecheck = false;  // asked again while a check was under way
  bool dataSeen = false;         // since the last (re)connection
  int attempts = 0;
  gint64 lastDataUs = 0;
  std::map<std::string, Characteristic> characteristics;  // object path -> role
  std::string controlPath;
  std::vector<guint> subscriptions;
  guint scanTimer = 0, retryTimer = 0, resolveTimer = 0, watchdog = 0;

  // ---- plumbing -------------------------------------------------------------------------

  using Reply = std::function<void(GVariant* reply, const GError* error)>;
  struct PendingCall {
    std::weak_ptr<Impl> owner;
    Reply done;
  };

  // An asynchronous call to BlueZ; `done` runs on this main context unless we are gone.
  void call(const std::string& path, const char* interface, const char* method, GVariant* args,
            const GVariantType* replyType, int timeoutMs, Reply done) {
    g_dbus_connection_call(
        bus, kBluez, path.c_str(), interface, method, args, replyType, G_DBUS_CALL_FLAGS_NONE,
        timeoutMs, cancellable,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<PendingCall> pending(static_cast<PendingCall*>(data));
          GError* error = nullptr;
          GVariant* reply =
              g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
          auto owner = pending->owner.lock();
          if (owner && !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            pending->done(reply, error);
          }
          if (reply) g_variant_unref(reply);
          g_clear_error(&error);
        },
        new PendingCall{weak_from_this(), std::move(done)});
  }

  // BlueZ's whole object tree; nothing when it cannot be had.
  void managedObjects(std::function<void(GVariant* reply)> done) {
    call("/", kObjectManager, "GetManagedObjects", nullptr, G_VARIANT_TYPE("(a{oa{sa{sv}}})"),
         kQuickCallMs, [done = std::move(done)](GVariant* reply, const GError*) { done(reply); });
  }

  // A one-shot timer that holds us weakly.
  guint after(std::chrono::milliseconds delay, std::function<void(Impl&)> work) {
    struct Timer {
      std::weak_ptr<Impl> owner;
      std::function<void(Impl&)> work;
    };
    return g_timeout_add_full(
        G_PRIORITY_DEFAULT, static_cast<guint>(delay.count()),
        [](gpointer data) -> gboolean {
          auto* timer = static_cast<Timer*>(data);
          if (auto owner = timer->owner.lock()) timer->work(*owner);
          return G_SOURCE_REMOVE;
        },
        new Timer{weak_from_this(), std::move(work)},
        [](gpointer data) { delete static_cast<Timer*>(data); });
  }

  static void clearTimer(guint& id) {
    if (id) g_source_remove(id);
    id = 0;
  }
  void clearTimers() {
    clearTimer(scanTimer);
    clearTimer(retryTimer);
    clearTimer(resolveTimer);
    clearTimer(watchdog);
  }

  bool stopping() const { return state == State::Stopping || state == State::Done; }

  void status(const char* word, const std::string& message) { sink(statusEvent(word, message)); }

  void finish(int exitStatus) {
    if (state == State::Done) return;
    state = State::Done;
    clearTimers();
    g_cancellable_cancel(cancellable);
    if (finished) finished(exitStatus);
  }

  void fail(const char* reason, const char* message, int exitStatus) {
    sink(statusEvent("unavailable", message, reason));
    finish(exitStatus);
  }

  // ---- signals ----------------------------------------------------------------------------

  void subscribe() {
    auto add = [&](const char* interface, const char* member, GDBusSignalCallback callback) {
      subscriptions.push_back(g_dbus_connection_signal_subscribe(
          bus, kBluez, interface, member, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE, callback,
          new std::weak_ptr<Impl>(weak_from_this()),
          [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); }));
    };
    add(kProperties, "PropertiesChanged",
        [](GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
           GVariant* parameters, gpointer data) {
          if (auto self = static_cast<std::weak_ptr<Impl>*>(data)->lock()) {
            self->onPropertiesChanged(path, parameters);
          }
        });
    add(kObjectManager, "InterfacesAdded",
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
           GVariant* parameters, gpointer data) {
          if (auto self = static_cast<std::weak_ptr<Impl>*>(data)->lock()) {
            self->onInterfacesAdded(parameters);
          }
        });
    add(kObjectManager, "InterfacesRemoved",
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
           GVariant* parameters, gpointer data) {
          if (auto self = static_cast<std::weak_ptr<Impl>*>(data)->lock()) {
            self->onInterfacesRemoved(parameters);
          }
        });
  }

  void onPropertiesChanged(const gchar* path, GVariant* parameters) {
    if (stopping()) return;
    const gchar* interface = nullptr;
    GVariant* changed = nullptr;
    g_variant_get(parameters, "(&s@a{sv}@as)", &interface, &changed, nullptr);
    if (g_strcmp0(interface, kCharacteristic) == 0) {
      onCharacteristicChanged(path, changed);
    } else if (g_strcmp0(interface, kDevice) == 0) {
      if (path == devicePath) {
        gboolean value = FALSE;
        if (g_variant_lookup(changed, "Connected", "b", &value) && !value) {
          dropped();
        } else if (g_variant_lookup(changed, "ServicesResolved", "b", &value) && value &&
                   state == State::Resolving) {
          checkServices();
        }
      } else if (state == State::Scanning && isHeadband(changed)) {
        // A name or service list seen late in the scan: look again at the whole device.
        lookForHeadband();
      }
    }
    g_variant_unref(changed);
  }

  void onCharacteristicChanged(const gchar* path, GVariant* changed) {
    if (state != State::Starting && state != State::Streaming) return;
    auto it = characteristics.find(path);
    if (it == characteristics.end()) return;
    GVariant* value = g_variant_lookup_value(changed, "Value", G_VARIANT_TYPE_BYTESTRING);
    if (!value) return;
    gsize size = 0;
    const auto* bytes =
        static_cast<const std::uint8_t*>(g_variant_get_fixed_array(value, &size, 1));
    std::span<const std::uint8_t> data(bytes, size);
    const Characteristic role = it->second;
    if (role == Characteristic::Control) {
      stream.control(data);
    } else if (role == Characteristic::Telemetry) {
      stream.telemetry(data);
    } else {
      auto channel = std::find(kEegChannels.begin(), kEegChannels.end(), role);
      if (channel != kEegChannels.end()) {
        lastDataUs = g_get_monotonic_time();
        if (!dataSeen) {
          dataSeen = true;
          attempts = 0;
          status("streaming", text::kStreaming);
        }
        stream.eeg(static_cast<std::size_t>(channel - kEegChannels.begin()), data);
      }
    }
    g_variant_unref(value);
  }

  void onInterfacesAdded(GVariant* parameters) {
    if (stopping()) return;
    const gchar* path = nullptr;
    GVariant* interfaces = nullptr;
    g_variant_get(parameters, "(&o@a{sa{sv}})", &path, &interfaces);
    if (state == State::Scanning) {
      if (GVariant* device = g_variant_lookup_value(interfaces, kDevice, G_VARIANT_TYPE_VARDICT)) {
        if (isHeadband(device)) {
          stopDiscovery();
          devicePath = path;
          name = deviceName(device);
          deviceGone = false;
          connect();
        }
        g_variant_unref(device);
      }
    } else if (state == State::Resolving && g_str_has_prefix(path, (devicePath + "/").c_str())) {
      if (GVariant* c =
              g_variant_lookup_value(interfaces, kCharacteristic, G_VARIANT_TYPE_VARDICT)) {
        checkServices();
        g_variant_unref(c);
      }
    }
    g_variant_unref(interfaces);
  }

  void onInterfacesRemoved(GVariant* parameters) {
    if (stopping()) return;
    const gchar* path = nullptr;
    GVariantIter* interfaces = nullptr;
    g_variant_get(parameters, "(&oas)", &path, &interfaces);
    const gchar* interface = nullptr;
    while (g_variant_iter_next(interfaces, "&s", &interface)) {
      if ((g_strcmp0(interface, kDevice) == 0 && path == devicePath) ||
          (g_strcmp0(interface, kAdapter) == 0 && path == adapterPath)) {
        deviceGone = true;
        dropped();
      }
    }
    g_variant_iter_free(interfaces);
  }

  // ---- finding the adapter and the headband -------------------------------------------------

  void start() {
    subscribe();
    status("scanning", text::kScanning);
    managedObjects([this](GVariant* reply) {
      if (stopping()) return;
      // Whatever BlueZ's absence looks like, the user hears the same.
      if (!reply) return fail("noBluez", text::kNoBluez, kExitBluetoothUnusable);
      chooseAdapter(reply);
    });
  }

  void chooseAdapter(GVariant* reply) {
    bool any = false;
    forEachObjectWith(reply, kAdapter, [&](const gchar* path, GVariant* adapter) {
      any = true;
      gboolean powered = FALSE;
      g_variant_lookup(adapter, "Powered", "b", &powered);
      if (powered && adapterPath.empty()) adapterPath = path;
    });
    if (!any) return fail("noAdapter", text::kNoAdapter, kExitBluetoothUnusable);
    if (adapterPath.empty()) return fail("adapterOff", text::kAdapterOff, kExitBluetoothUnusable);
    if (!pickKnownHeadband(reply)) startDiscovery();
  }

  // A headband BlueZ already knows (paired, or seen in an earlier scan) on our adapter.
  bool pickKnownHeadband(GVariant* reply) {
    bool found = false;
    forEachObjectWith(reply, kDevice, [&](const gchar* path, GVariant* device) {
      if (!found && g_str_has_prefix(path, (adapterPath + "/").c_str()) && isHeadband(device)) {
        devicePath = path;
        name = deviceName(device);
        found = true;
      }
    });
    if (found) {
      deviceGone = false;
      stopDiscovery();
      connect();
    }
    return found;
  }

  void lookForHeadband() {
    managedObjects([this](GVariant* reply) {
      if (reply && state == State::Scanning) pickKnownHeadband(reply);
    });
  }

  void startDiscovery() {
    state = State::Scanning;
    GVariantBuilder filter;
    g_variant_builder_init(&filter, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&filter, "{sv}", "Transport", g_variant_new_string("le"));
    // The filter only narrows the search; a BlueZ without it still finds the headband.
    call(adapterPath, kAdapter, "SetDiscoveryFilter", g_variant_new("(a{sv})", &filter), nullptr,
         kQuickCallMs, [](GVariant*, const GError*) {});
    call(adapterPath, kAdapter, "StartDiscovery", nullptr, nullptr, kQuickCallMs,
         [this](GVariant* reply, const GError* error) {
           if (state != State::Scanning) return;
           if (!reply && !hasRemoteError(error, "org.bluez.Error.InProgress")) {
             fail("scanFailed", text::kScanFailed, kExitBluetoothUnusable);
             return;
           }
           // Devices that appeared between the first look and the start of the scan.
           lookForHeadband();
         });
    // After a headband was once found, it is searched for as long as it takes.
    if (!everConnected) {
      scanTimer = after(options.scanTimeout, [](Impl& self) {
        self.scanTimer = 0;
        if (self.state != State::Scanning) return;
        self.stopDiscovery();
        self.fail("notFound", text::kNotFound, kExitNoHeadband);
      });
    }
  }

  void stopDiscovery() {
    clearTimer(scanTimer);
    call(adapterPath, kAdapter, "StopDiscovery", nullptr, nullptr, kQuickCallMs,
         [](GVariant*, const GError*) {});
  }

  // ---- connecting -------------------------------------------------------------------------

  void connect() {
    state = State::Connecting;
    if (!everConnected && attempts == 0) status("connecting", "Verbinden met " + name + "…");
    call(devicePath, kDevice, "Connect", nullptr, nullptr,
         static_cast<int>(options.connectTimeout.count()),
         [this](GVariant* reply, const GError* error) {
           if (state != State::Connecting) return;
           if (!reply && !hasRemoteError(error, "org.bluez.Error.AlreadyConnected")) {
             retryLater();
             return;
           }
           state = State::Resolving;
           resolveTimer = after(options.resolveTimeout, [](Impl& self) {
             self.resolveTimer = 0;
             if (self.state == State::Resolving) self.disconnectAndRetry();
           });
           checkServices();
         });
  }

  void checkServices() {
    if (servicesChecking) {
      servicesRecheck = true;
      return;
    }
    servicesChecking = true;
    managedObjects([this](GVariant* reply) {
      servicesChecking = false;
      if (state != State::Resolving || !reply) return;
      if (std::exchange(servicesRecheck, false)) return checkServices();
      bool resolved = false;
      std::map<std::string, Characteristic> found;
      forEachObjectWith(reply, kDevice, [&](const gchar* path, GVariant* device) {
        gboolean value = FALSE;
        if (path == devicePath && g_variant_lookup(device, "ServicesResolved", "b", &value)) {
          resolved = value;
        }
      });
      const std::string prefix = devicePath + "/";
      forEachObjectWith(reply, kCharacteristic, [&](const gchar* path, GVariant* c) {
        const gchar* uuid = nullptr;
        if (g_str_has_prefix(path, prefix.c_str()) && g_variant_lookup(c, "UUID", "&s", &uuid)) {
          if (auto role = characteristicOfUuid(uuid)) found[path] = *role;
        }
      });
      useServices(std::move(found), resolved);
    });
  }

  void useServices(std::map<std::string, Characteristic> found, bool resolved) {
    std::size_t eeg = 0;
    std::string control;
    for (const auto& [path, role] : found) {
      if (role == Characteristic::Control) control = path;
      if (std::find(kEegChannels.begin(), kEegChannels.end(), role) != kEegChannels.end()) ++eeg;
    }
    if (control.empty() || eeg < kEegChannels.size()) {
      // Services still arriving; once BlueZ says they are all there, this is not a headband.
      if (resolved) {
        call(devicePath, kDevice, "Disconnect", nullptr, nullptr, kStopCallMs,
             [](GVariant*, const GError*) {});
        fail("notAHeadband", text::kNotAHeadband, kExitNotAHeadband);
      }
      return;
    }
    clearTimer(resolveTimer);
    characteristics = std::move(found);
    controlPath = control;
    state = State::Starting;
    everConnected = true;
    dataSeen = false;
    stream.restart();
    status("connected", "Verbonden met " + name + ".");
    startNotifications();
  }

  void startNotifications() {
    auto remaining = std::make_shared<int>(0);
    auto failed = std::make_shared<bool>(false);
    for (const auto& [path, role] : characteristics) {
      const bool eeg =
          std::find(kEegChannels.begin(), kEegChannels.end(), role) != kEegChannels.end();
      if (!eeg && role != Characteristic::Control && role != Characteristic::Telemetry) continue;
      ++*remaining;
      call(path, kCharacteristic, "StartNotify", nullptr, nullptr, kQuickCallMs,
           [this, remaining, failed, eeg](GVariant* reply, const GError* error) {
             if (state != State::Starting) return;
             // Telemetry is a nicety; without the control or an electrode we cannot go on.
             if (!reply && eeg && !hasRemoteError(error, "org.bluez.Error.InProgress")) {
               *failed = true;
             }
             if (--*remaining > 0) return;
             if (*failed) {
               disconnectAndRetry();
             } else {
               sendCommands({"h", "p21", "s", "d"});
             }
           });
    }
  }

  // Commands one after the other, each after the previous one was accepted.
  void sendCommands(std::vector<std::string> commands) {
    if (commands.empty()) {
      lastDataUs = g_get_monotonic_time();
      armWatchdog();
      return;
    }
    const std::string command = commands.front();
    commands.erase(commands.begin());
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    call(controlPath, kCharacteristic, "WriteValue",
         g_variant_new("(@aya{sv})", bytesVariant(commandBytes(command)), &options), nullptr,
         kQuickCallMs, [this, commands](GVariant* reply, const GError*) {
           if (state != State::Starting && state != State::Streaming) return;
           if (!reply) {
             disconnectAndRetry();
             return;
           }
           sendCommands(commands);
         });
  }

  void armWatchdog() {
    clearTimer(watchdog);
    state = State::Streaming;
    const auto period = std::max(options.silenceLimit / 4, std::chrono::milliseconds(50));
    watchdog = after(period, [](Impl& self) {
      self.watchdog = 0;
      if (self.state != State::Streaming) return;
      const auto silentUs = g_get_monotonic_time() - self.lastDataUs;
      if (silentUs >
          std::chrono::duration_cast<std::chrono::microseconds>(self.options.silenceLimit)
              .count()) {
        self.disconnectAndRetry();
      } else {
        self.armWatchdog();
      }
    });
  }

  // ---- dropouts ---------------------------------------------------------------------------

  void disconnectAndRetry() {
    if (stopping()) return;
    call(devicePath, kDevice, "Disconnect", nullptr, nullptr, kQuickCallMs,
         [](GVariant*, const GError*) {});
    dropped();
  }

  void dropped() {
    if (stopping()) return;
    if (state == State::Resolving || state == State::Starting || state == State::Streaming) {
      status("disconnected", text::kDisconnected);
      characteristics.clear();
      controlPath.clear();
      retryLater();
    }
  }

  void retryLater() {
    clearTimer(resolveTimer);
    clearTimer(watchdog);
    if (state != State::Waiting) {
      if (everConnected) status("reconnecting", text::kReconnecting);
      state = State::Waiting;
    }
    auto delay = options.reconnectDelay * (1 << std::min(attempts, 4));
    delay = std::min(delay, options.reconnectDelayMax);
    ++attempts;
    retryTimer = after(delay, [](Impl& self) {
      self.retryTimer = 0;
      if (self.state != State::Waiting) return;
      if (self.deviceGone) {
        self.devicePath.clear();
        self.startDiscovery();
      } else {
        self.connect();
      }
    });
  }

  // ---- stop -------------------------------------------------------------------------------

  void stop() {
    if (state == State::Done) return;
    if (state == State::Stopping) return finish(kExitStopped);
    const State was = state;
    state = State::Stopping;
    clearTimers();
    // Calls still pending are abandoned; what follows gets a fresh cancellable.
    g_cancellable_cancel(cancellable);
    g_object_unref(cancellable);
    cancellable = g_cancellable_new();
    auto disconnect = [this] {
      call(devicePath, kDevice, "Disconnect", nullptr, nullptr, kStopCallMs,
           [this](GVariant*, const GError*) { finish(kExitStopped); });
    };
    if (!controlPath.empty() && (was == State::Starting || was == State::Streaming)) {
      GVariantBuilder options;
      g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
      call(controlPath, kCharacteristic, "WriteValue",
           g_variant_new("(@aya{sv})", bytesVariant(commandBytes("h")), &options), nullptr,
           kStopCallMs, [disconnect](GVariant*, const GError*) { disconnect(); });
    } else if (!devicePath.empty() && was != State::Scanning && was != State::Idle) {
      disconnect();
    } else if (was == State::Scanning) {
      call(adapterPath, kAdapter, "StopDiscovery", nullptr, nullptr, kStopCallMs,
           [this](GVariant*, const GError*) { finish(kExitStopped); });
    } else {
      finish(kExitStopped);
    }
  }
};

std::shared_ptr<BluezHeadband> BluezHeadband::create(GDBusConnection* bus, Sink sink,
                                                     Finished finished, BluezOptions options) {
  return std::shared_ptr<BluezHeadband>(new BluezHeadband(
      std::make_unique<Impl>(bus, std::move(sink), std::move(finished), options)));
}

BluezHeadband::BluezHeadband(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
BluezHeadband::~BluezHeadband() = default;

void BluezHeadband::start() {
  impl_->start();
}
void BluezHeadband::stop() {
  impl_->stop();
}
const HeadbandStream& BluezHeadband::stream() const {
  return impl_->stream;
}

}  // namespace solvera::headband
