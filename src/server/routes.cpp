// Every route of the server in the order it is tried, and which of them are control paths; a
// request that none answers gets the static reply (a file of the page folder or the music
// library).
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "common/files.hpp"
#include "common/json.hpp"
#include "server/audio_routes.hpp"
#include "server/cloud_routes.hpp"
#include "server/dmx_routes.hpp"
#include "server/remote_control.hpp"
#include "server/render_routes.hpp"
#include "server/screen_light.hpp"
#include "server/session_routes.hpp"
#include "server/static_server.hpp"

namespace solvera {
namespace {

using Responder = StaticServer::Responder;
using Request = http::RequestInfo;

void answer(Responder& done, std::string bytes) {
  done(http::Response{std::move(bytes), nullptr});
}

// A route that may pass: nothing means the next row is asked.
bool answerIf(Responder& done, std::optional<std::string> reply) {
  if (!reply) return false;
  answer(done, std::move(*reply));
  return true;
}

// The proxies answer later; the request's responder goes with them.
cloud::ReplyHandler later(Responder& done) {
  return [done = std::move(done)](std::string bytes) {
    done(http::Response{std::move(bytes), nullptr});
  };
}

std::string apiKey(const Request& r) {
  return r.header("x-openai-api-key").value_or("");
}

// The installed music library's tracks, or none: the page asks on every load, and "nothing
// installed" is an answer, not a missing file.
std::string musicLibraryResponse(const std::filesystem::path& library) {
  OrderedJson reply{{"ok", true}, {"installed", false}, {"tracks", OrderedJson::array()}};
  auto text = library.empty() ? std::nullopt : readWholeFile(library / "manifest.json");
  auto manifest = text ? parseOrderedJson(*text) : std::nullopt;
  if (manifest && manifest->is_object()) {
    auto tracks = manifest->find("tracks");
    if (tracks != manifest->end() && tracks->is_array()) {
      reply["installed"] = true;
      reply["tracks"] = *tracks;
    }
  }
  return http::jsonResponse(reply);
}

}  // namespace

StaticServer::Table StaticServer::makeTable() {
  constexpr Access control = Access::control;
  auto remote = [this](const Request& r, Responder& done) {
    return answerIf(done, routes_.remote->handleRemote(r.method, r.path, r.query, r.body));
  };
  auto screenLight = [this](const Request& r, Responder& done) {
    return answerIf(done,
                    routes_.screenLight->handleScreenLight(r.method, r.path, r.query, r.body));
  };
  Table table;
  table
      .add("POST", PathMatch::exact, "/dmx", control,
           [this](const Request& r, Responder& done) {
             return answerIf(done, routes_.dmx->handleDmx(r.body));
           })
      // The relays' own pages and state carry their own tokens; their addresses do not.
      .add("GET", PathMatch::exact, "/remote/info", control, remote)
      .add("", PathMatch::prefix, "/remote/", remote)
      .add("GET", PathMatch::exact, "/screen-light/info", control, screenLight)
      .add("", PathMatch::prefix, "/screen-light/", screenLight)
      .add("GET", PathMatch::exact, "/affiliate-profile", control,
           [this](const Request& r, Responder& done) {
             routes_.cloud->handleAffiliateProfile(r.query, later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/marketplace/submissions", control,
           [this](const Request& r, Responder& done) {
             auto code = r.header("x-solvera-publisher-code").value_or("");
             routes_.cloud->handleMarketplaceSubmission(r.body, code, later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/openai/ask-ai", control,
           [this](const Request& r, Responder& done) {
             routes_.cloud->handleOpenAIAskAI(r.body, apiKey(r), later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/openai/ask-ai-query", control,
           [this](const Request& r, Responder& done) {
             routes_.cloud->handleOpenAIAskAIQuery(r.body, apiKey(r), later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/openai/session-description", control,
           [this](const Request& r, Responder& done) {
             routes_.cloud->handleOpenAISessionDescription(r.body, apiKey(r), later(done));
             return true;
           })
      .add("GET", PathMatch::exact, "/audio/devices", control,
           [this](const Request&, Responder& done) {
             answer(done, routes_.audio->devicesResponse());
             return true;
           })
      .add("POST", PathMatch::prefix, "/audio/", control,
           [this](const Request& r, Responder& done) {
             return answerIf(done, routes_.audio->handleAudio(r.path, r.query, r.body));
           })
      .add("GET", PathMatch::exact, "/audio/limits", control,
           [](const Request&, Responder& done) {
             answer(done, AudioRoutes::limitsResponse());
             return true;
           })
      .add("GET", PathMatch::exact, "/dmx/serial-ports", control,
           [this](const Request&, Responder& done) {
             return answerIf(done, routes_.dmx->serialPortsResponse());
           })
      .add("GET", PathMatch::exact, "/dmx/nodes", control,
           [this](const Request& r, Responder& done) {
             routes_.dmx->nodesResponse(r.query, later(done));
             return true;
           })
      .add("GET", PathMatch::exact, "/dmx/interfaces", control,
           [this](const Request&, Responder& done) {
             answer(done, routes_.dmx->interfacesResponse());
             return true;
           })
      .add("GET", PathMatch::exact, "/dmx/limits", control,
           [this](const Request& r, Responder& done) {
             answer(done, routes_.dmx->limitsResponse(r.query));
             return true;
           })
      // The session player, the program's settings and the person's own sessions.
      .add("GET", PathMatch::exact, "/session/state", control,
           [this](const Request&, Responder& done) {
             answer(done, routes_.session->stateResponse());
             return true;
           })
      .add("GET", PathMatch::exact, "/session/events", Access::controlQuery,
           [this](const Request&, Responder& done) {
             done(routes_.session->eventsResponse());
             return true;
           })
      .add("GET", PathMatch::exact, "/session/record", control,
           [this](const Request&, Responder& done) {
             answer(done, routes_.session->recordResponse());
             return true;
           })
      // A session rendered to a sound file on a thread of its own, and other players' files
      // read for the editor. The download may carry the token in its query (a link).
      .add("POST", PathMatch::exact, "/session/render", control,
           [this](const Request& r, Responder& done) {
             if (!routes_.render) return false;
             answer(done, routes_.render->start(r.body));
             return true;
           })
      .add("GET", PathMatch::prefix, "/session/render/", Access::controlQuery,
           [this](const Request& r, Responder& done) {
             if (!routes_.render) return false;
             std::string id = r.path.substr(16);
             if (id.ends_with("/file")) {
               done(routes_.render->file(id.substr(0, id.size() - 5)));
             } else {
               answer(done, routes_.render->status(id));
             }
             return true;
           })
      .add("DELETE", PathMatch::prefix, "/session/render/", control,
           [this](const Request& r, Responder& done) {
             if (!routes_.render) return false;
             answer(done, routes_.render->cancel(r.path.substr(16)));
             return true;
           })
      .add("POST", PathMatch::exact, "/session/import", control,
           [](const Request& r, Responder& done) {
             answer(done, RenderRoutes::importFile(r.body));
             return true;
           })
      .add("POST", PathMatch::prefix, "/session/", control,
           [this](const Request& r, Responder& done) {
             return answerIf(done, sessionCommand(r.path, r.body));
           })
      .add("GET", PathMatch::exact, "/settings", control,
           [this](const Request&, Responder& done) {
             answer(done, routes_.session->settingsResponse());
             return true;
           })
      .add("PUT", PathMatch::exact, "/settings", control,
           [this](const Request& r, Responder& done) {
             answer(done, routes_.session->putSettings(r.body));
             return true;
           })
      .add("POST", PathMatch::exact, "/settings/consent", control,
           [this](const Request& r, Responder& done) {
             answer(done, routes_.session->consent(r.body));
             return true;
           })
      .add("POST", PathMatch::exact, "/settings/carry-over", control,
           [this](const Request& r, Responder& done) {
             answer(done, routes_.session->carryOver(r.body));
             return true;
           })
      .add("GET", PathMatch::exact, "/sessions/own", control,
           [this](const Request&, Responder& done) {
             answer(done, routes_.session->ownSessionsResponse());
             return true;
           })
      .add("PUT", PathMatch::prefix, "/sessions/own/", control,
           [this](const Request& r, Responder& done) {
             answer(done, routes_.session->putOwnSession(r.path.substr(14), r.body));
             return true;
           })
      .add("DELETE", PathMatch::prefix, "/sessions/own/", control,
           [this](const Request& r, Responder& done) {
             answer(done, routes_.session->deleteOwnSession(r.path.substr(14)));
             return true;
           })
      // The control page's own address with its token, for a page on another device.
      .add("GET", PathMatch::exact, "/control/info", control,
           [this](const Request&, Responder& done) {
             answer(done, http::jsonResponse(OrderedJson{{"ok", true}, {"url", controlURL()}}));
             return true;
           })
      .add("GET", PathMatch::exact, "/music/library",
           [this](const Request&, Responder& done) {
             answer(done, musicLibraryResponse(options_.musicLibraryURL));
             return true;
           })
      .add("GET", PathMatch::exact, "/remote",
           [this](const Request&, Responder& done) {
             done(staticResponse("/remote.html"));
             return true;
           })
      .add("GET", PathMatch::exact, "/screen-light",
           [this](const Request&, Responder& done) {
             done(staticResponse("/screen-light.html"));
             return true;
           })
      // Everything under the lights and the AI service reaches the lamps or the user's key.
      .guard(PathMatch::prefix, "/dmx/")
      .guard(PathMatch::prefix, "/control/")
      .guard(PathMatch::prefix, "/openai/")
      .guard(PathMatch::prefix, "/settings/")
      .guard(PathMatch::exact, "/sessions/own")
      .guard(PathMatch::prefix, "/sessions/own/");
  return table;
}

std::optional<std::string> StaticServer::sessionCommand(const std::string& path,
                                                        const std::string& body) {
  SessionRoutes& session = *routes_.session;
  if (path == "/session/start") return session.start(body);
  if (path == "/session/pause") return session.pause();
  if (path == "/session/resume") return session.resume();
  if (path == "/session/stop") return session.stopSession();
  if (path == "/session/seek") return session.seek(body);
  if (path == "/session/blackout") return session.blackout(body);
  return std::nullopt;
}

}  // namespace solvera
