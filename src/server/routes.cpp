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

StaticServer::Routes StaticServer::makeRoutes() {
  Routes routes;
  routes
      .add("POST", PathMatch::exact, "/dmx",
           [this](const Request& r, Responder& done) {
             return answerIf(done, dmx_->handleDmx(r.body));
           })
      .add("", PathMatch::prefix, "/remote/",
           [this](const Request& r, Responder& done) {
             return answerIf(done, remote_->handleRemote(r.method, r.path, r.query, r.body));
           })
      .add("", PathMatch::prefix, "/screen-light/",
           [this](const Request& r, Responder& done) {
             return answerIf(done,
                             screenLight_->handleScreenLight(r.method, r.path, r.query, r.body));
           })
      .add("GET", PathMatch::exact, "/affiliate-profile",
           [this](const Request& r, Responder& done) {
             cloud_->handleAffiliateProfile(r.query, later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/marketplace/submissions",
           [this](const Request& r, Responder& done) {
             auto code = r.header("x-solvera-publisher-code").value_or("");
             cloud_->handleMarketplaceSubmission(r.body, code, later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/openai/ask-ai",
           [this](const Request& r, Responder& done) {
             cloud_->handleOpenAIAskAI(r.body, apiKey(r), later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/openai/ask-ai-query",
           [this](const Request& r, Responder& done) {
             cloud_->handleOpenAIAskAIQuery(r.body, apiKey(r), later(done));
             return true;
           })
      .add("POST", PathMatch::exact, "/openai/session-description",
           [this](const Request& r, Responder& done) {
             cloud_->handleOpenAISessionDescription(r.body, apiKey(r), later(done));
             return true;
           })
      .add("POST", PathMatch::prefix, "/audio/",
           [this](const Request& r, Responder& done) {
             return answerIf(done, audio_->handleAudio(r.path, r.query, r.body));
           })
      .add("GET", PathMatch::exact, "/dmx/serial-ports",
           [this](const Request&, Responder& done) {
             return answerIf(done, dmx_->serialPortsResponse());
           })
      .add("GET", PathMatch::exact, "/dmx/limits",
           [this](const Request& r, Responder& done) {
             answer(done, dmx_->limitsResponse(r.query));
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
  return routes;
}

}  // namespace solvera
