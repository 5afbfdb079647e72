// The system's media controls on Linux: an MPRIS 2 player on the session bus.
#pragma once

#include <gio/gio.h>

#include <map>
#include <string>

#include "platform/platform.hpp"

namespace solvera::platform {

// Publishes org.mpris.MediaPlayer2.<name> while a handler or a now-playing entry exists.
// Play, Pause and PlayPause reach the handlers of their command; everything else a player
// could do is reported as not supported. All calls and handlers run on the main thread.
class MprisMediaRemote : public MediaRemote {
 public:
  // identity: the player's name in media controls; busName: the last element of the bus
  // name (a second copy of the program gets ".instance<pid>" after it); desktopEntry: the
  // menu entry's id, without ".desktop", that media controls take the icon from.
  MprisMediaRemote(std::string identity, std::string busName, std::string desktopEntry = {});
  ~MprisMediaRemote() override;
  MprisMediaRemote(const MprisMediaRemote&) = delete;
  MprisMediaRemote& operator=(const MprisMediaRemote&) = delete;

  Token addHandler(Command command, std::function<void()> handler) override;
  void removeHandler(Token token) override;
  void setNowPlaying(const std::string& title, const std::string& artist) override;
  void clearNowPlaying() override;

  // The full bus name requested while published, empty otherwise.
  const std::string& ownedBusName() const { return ownedName_; }

 private:
  void publishIfNeeded();
  void unpublishIfUnused();
  void ownName(const std::string& name);
  void emitPlayerChanged();
  GVariant* property(const std::string& interface, const std::string& name) const;
  void call(const std::string& method, GDBusMethodInvocation* invocation);

  static void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                           const gchar* method, GVariant*, GDBusMethodInvocation* invocation,
                           gpointer self);
  static GVariant* onGetProperty(GDBusConnection*, const gchar*, const gchar*,
                                 const gchar* interface, const gchar* name, GError**,
                                 gpointer self);
  static void onNameLost(GDBusConnection*, const gchar* name, gpointer self);

  std::string identity_;
  std::string busName_;
  std::string desktopEntry_;
  std::map<Token, std::pair<Command, std::function<void()>>> handlers_;
  Token next_ = 1;
  bool hasNowPlaying_ = false;
  std::string title_, artist_;

  GDBusConnection* connection_ = nullptr;
  GDBusNodeInfo* node_ = nullptr;
  guint rootRegistration_ = 0, playerRegistration_ = 0, ownerId_ = 0;
  std::string ownedName_;
  bool triedInstanceName_ = false;
};

}  // namespace solvera::platform
