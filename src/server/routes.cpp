// Every route of the server in the order it is tried; a request that none answers gets the
// static reply (a file of the page folder or the music library).
#include <optional>
#include <string>
#include <utility>

#include "server/audio_routes.hpp"
#include "server/cloud_routes.hpp"
#include "server/dmx_routes.hpp"
#include "server/remote_control.hpp"
#include "server/screen_light.hpp"
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

}  // namespace

StaticServer::Table StaticServer::makeTable() {
  Table table;
  table
      .add("POST", PathMatch::exact, "/dmx",
           [this](const Request& r, Responder& done) {
             return answerIf(done, routes_.dmx->handleDmx(r.body));
           })
      .add("", PathMatch::prefix, "/remote/",
           [this](const Request& r, Responder& done) {
             return answerIf(done, routes_.remote->handleRemote(r.method, r.path, r.query, r.body));
           })
      .add("", PathMatch::prefix, "/screen-light/",
           [this](const Request& r, Responder& done) {
             return answerIf(
                 done, routes_.screenLight->handleScreenLight(r.method, r.path, r.query, r.body));
           })
      .add("GET", PathMatch::exact, "/affiliate-profile",
           [this](const Request& r, Responder& done) {
             routes_.cloud->handleAffiliateProfile(r.query, later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/marketplace/submissions",
           [this](const Request& r, Responder& done) {
             auto code = r.header("x-solvera-publisher-code").value_or("");
             routes_.cloud->handleMarketplaceSubmission(r.body, code, later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/openai/ask-ai",
           [this](const Request& r, Responder& done) {
             routes_.cloud->handleOpenAIAskAI(r.body, apiKey(r), later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/openai/ask-ai-query",
           [this](const Request& r, Responder& done) {
             routes_.cloud->handleOpenAIAskAIQuery(r.body, apiKey(r), later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/openai/session-description",
           [this](const Request& r, Responder& done) {
             routes_.cloud->handleOpenAISessionDescription(r.body, apiKey(r), later(done));
             return true;
           })
      .add("POST", PathMatch::prefix, "/audio/",
           [this](const Request& r, Responder& done) {
             return answerIf(done, routes_.audio->handleAudio(r.path, r.query, r.body));
           })
      .add("GET", PathMatch::exact, "/dmx/serial-ports",
           [this](const Request&, Responder& done) {
             return answerIf(done, routes_.dmx->serialPortsResponse());
           })
      .add("GET", PathMatch::exact, "/dmx/limits",
           [this](const Request& r, Responder& done) {
             answer(done, routes_.dmx->limitsResponse(r.query));
             return true;
           })
      .add("GET", PathMatch::exact, "/remote",
           [this](const Request&, Responder& done) {
             done(staticResponse("/remote.html"));
             return true;
           })
      .add("GET", PathMatch::exact, "/screen-light", [this](const Request&, Responder& done) {
        done(staticResponse("/screen-light.html"));
        return true;
      });
  return table;
}

}  // namespace solvera
