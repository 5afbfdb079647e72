// MPRIS 2 over GDBus: the root and player interfaces at /org/mpris/MediaPlayer2.
#include "platform/mpris_media_remote.hpp"

#include <unistd.h>

namespace solvera::platform {
namespace {

constexpr const char* kObjectPath = "/org/mpris/MediaPlayer2";
constexpr const char* kRootInterface = "org.mpris.MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* kTrackId = "/com/mirowen/SolveraPro/BreathingCoaching";

constexpr const char* kIntrospection = R"(
<node>
  <interface name="org.mpris.MediaPlayer2">
    <method name="Raise"/>
    <method name="Quit"/>
    <property name="CanQuit" type="b" access="read"/>
    <property name="CanRaise" type="b" access="read"/>
    <property name="HasTrackList" type="b" access="read"/>
    <property name="Identity" type="s" access="read"/>
    <property name="DesktopEntry" type="s" access="read"/>
    <property name="SupportedUriSchemes" type="as" access="read"/>
    <property name="SupportedMimeTypes" type="as" access="read"/>
  </interface>
  <interface name="org.mpris.MediaPlayer2.Player">
    <method name="Next"/>
    <method name="Previous"/>
    <method name="Pause"/>
    <method name="PlayPause"/>
    <method name="Stop"/>
    <method name="Play"/>
    <method name="Seek"><arg direction="in" name="Offset" type="x"/></method>
    <method name="SetPosition">
      <arg direction="in" name="TrackId" type="o"/>
      <arg direction="in" name="Position" type="x"/>
    </method>
    <method name="OpenUri"><arg direction="in" name="Uri" type="s"/></method>
    <signal name="Seeked"><arg name="Position" type="x"/></signal>
    <property name="PlaybackStatus" type="s" access="read"/>
    <property name="Rate" type="d" access="read"/>
    <property name="Metadata" type="a{sv}" access="read"/>
    <property name="Volume" type="d" access="read"/>
    <property name="Position" type="x" access="read"/>
    <property name="MinimumRate" type="d" access="read"/>
    <property name="MaximumRate" type="d" access="read"/>
    <property name="CanGoNext" type="b" access="read"/>
    <property name="CanGoPrevious" type="b" access="read"/>
    <property name="CanPlay" type="b" access="read"/>
    <property name="CanPause" type="b" access="read"/>
    <property name="CanSeek" type="b" access="read"/>
    <property name="CanControl" type="b" access="read"/>
  </interface>
</node>)";

GVariant* emptyStrings() { return g_variant_new_strv(nullptr, 0); }

}  // namespace

MprisMediaRemote::MprisMediaRemote(std::string identity, std::string busName,
                                   std::string desktopEntry)
    : identity_(std::move(identity)),
      busName_(std::move(busName)),
      desktopEntry_(std::move(desktopEntry)) {}

MprisMediaRemote::~MprisMediaRemote() {
  handlers_.clear();
  hasNowPlaying_ = false;
  unpublishIfUnused();
}

MediaRemote::Token MprisMediaRemote::addHandler(Command command, std::function<void()> handler) {
  Token token = next_++;
  handlers_[token] = {command, std::move(handler)};
  publishIfNeeded();
  return token;
}

void MprisMediaRemote::removeHandler(Token token) {
  handlers_.erase(token);
  unpublishIfUnused();
}

void MprisMediaRemote::setNowPlaying(const std::string& title, const std::string& artist) {
  title_ = title;
  artist_ = artist;
  hasNowPlaying_ = true;
  publishIfNeeded();
  emitPlayerChanged();
}

void MprisMediaRemote::clearNowPlaying() {
  hasNowPlaying_ = false;
  emitPlayerChanged();
  unpublishIfUnused();
}

void MprisMediaRemote::publishIfNeeded() {
  if (connection_) return;
  GError* error = nullptr;
  connection_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!connection_) {
    // No session bus: the media controls are simply not offered.
    g_clear_error(&error);
    return;
  }
  node_ = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  static const GDBusInterfaceVTable table = {&MprisMediaRemote::onMethodCall,
                                             &MprisMediaRemote::onGetProperty, nullptr, {}};
  rootRegistration_ = g_dbus_connection_register_object(
      connection_, kObjectPath, g_dbus_node_info_lookup_interface(node_, kRootInterface), &table,
      this, nullptr, nullptr);
  playerRegistration_ = g_dbus_connection_register_object(
      connection_, kObjectPath, g_dbus_node_info_lookup_interface(node_, kPlayerInterface),
      &table, this, nullptr, nullptr);
  triedInstanceName_ = false;
  ownName("org.mpris.MediaPlayer2." + busName_);
}

void MprisMediaRemote::ownName(const std::string& name) {
  ownedName_ = name;
  ownerId_ = g_bus_own_name_on_connection(connection_, name.c_str(),
                                          G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE, nullptr,
                                          &MprisMediaRemote::onNameLost, this, nullptr);
}

void MprisMediaRemote::onNameLost(GDBusConnection*, const gchar*, gpointer data) {
  auto* self = static_cast<MprisMediaRemote*>(data);
  if (!self->connection_ || self->triedInstanceName_) return;
  // Another copy of the program holds the plain name: media controls list both players.
  self->triedInstanceName_ = true;
  g_bus_unown_name(self->ownerId_);
  self->ownName("org.mpris.MediaPlayer2." + self->busName_ + ".instance" +
                std::to_string(::getpid()));
}

void MprisMediaRemote::unpublishIfUnused() {
  if (!connection_ || !handlers_.empty() || hasNowPlaying_) return;
  if (ownerId_) g_bus_unown_name(ownerId_);
  if (rootRegistration_) g_dbus_connection_unregister_object(connection_, rootRegistration_);
  if (playerRegistration_) g_dbus_connection_unregister_object(connection_, playerRegistration_);
  ownerId_ = rootRegistration_ = playerRegistration_ = 0;
  g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
  g_clear_object(&connection_);
  g_clear_pointer(&node_, g_dbus_node_info_unref);
  ownedName_.clear();
}

GVariant* MprisMediaRemote::property(const std::string& interface, const std::string& name) const {
  if (interface == kRootInterface) {
    if (name == "Identity") return g_variant_new_string(identity_.c_str());
    if (name == "DesktopEntry") return g_variant_new_string(desktopEntry_.c_str());
    if (name == "SupportedUriSchemes" || name == "SupportedMimeTypes") return emptyStrings();
    return g_variant_new_boolean(FALSE);  // CanQuit, CanRaise, HasTrackList
  }
  if (name == "PlaybackStatus") return g_variant_new_string(hasNowPlaying_ ? "Playing" : "Stopped");
  if (name == "Metadata") {
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    if (hasNowPlaying_) {
      g_variant_builder_add(&builder, "{sv}", "mpris:trackid", g_variant_new_object_path(kTrackId));
      g_variant_builder_add(&builder, "{sv}", "xesam:title", g_variant_new_string(title_.c_str()));
      const gchar* artists[] = {artist_.c_str(), nullptr};
      g_variant_builder_add(&builder, "{sv}", "xesam:artist", g_variant_new_strv(artists, 1));
    }
    return g_variant_builder_end(&builder);
  }
  if (name == "Rate" || name == "Volume" || name == "MinimumRate" || name == "MaximumRate") {
    return g_variant_new_double(1.0);
  }
  if (name == "Position") return g_variant_new_int64(0);
  bool yes = name == "CanPlay" || name == "CanPause" || name == "CanControl";
  return g_variant_new_boolean(yes);
}

void MprisMediaRemote::emitPlayerChanged() {
  if (!connection_) return;
  GVariantBuilder changed;
  g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
  for (const char* name : {"PlaybackStatus", "Metadata"}) {
    g_variant_builder_add(&changed, "{sv}", name, property(kPlayerInterface, name));
  }
  g_dbus_connection_emit_signal(
      connection_, nullptr, kObjectPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
      g_variant_new("(sa{sv}as)", kPlayerInterface, &changed, nullptr), nullptr);
}

void MprisMediaRemote::call(const std::string& method, GDBusMethodInvocation* invocation) {
  std::optional<Command> command;
  if (method == "Play") command = Command::play;
  if (method == "Pause") command = Command::pause;
  if (method == "PlayPause") command = Command::togglePlayPause;
  // Answer first: a handler only queues its work, and the caller should not wait for it.
  g_dbus_method_invocation_return_value(invocation, nullptr);
  if (!command) return;
  // A handler may remove handlers; call a copy.
  std::vector<std::function<void()>> matching;
  for (auto& [token, entry] : handlers_) {
    if (entry.first == *command) matching.push_back(entry.second);
  }
  for (auto& handler : matching) handler();
}

void MprisMediaRemote::onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                    const gchar* method, GVariant*,
                                    GDBusMethodInvocation* invocation, gpointer self) {
  static_cast<MprisMediaRemote*>(self)->call(method, invocation);
}

GVariant* MprisMediaRemote::onGetProperty(GDBusConnection*, const gchar*, const gchar*,
                                          const gchar* interface, const gchar* name, GError**,
                                          gpointer self) {
  return static_cast<MprisMediaRemote*>(self)->property(interface, name);
}

}  // namespace solvera::platform
