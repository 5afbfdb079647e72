// The server's route table: rows of {method, exact path or prefix, access, handler}, tried in
// the order they were added. A handler answers (true) or passes the request on (false); what
// no row answers gets the caller's fallback. The rows also say which paths are control paths.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "http/http.hpp"

namespace solvera {

enum class PathMatch { exact, prefix };

// Who may reach a row's paths: anyone, or (clients other than loopback) only with the control
// token; controlQuery also takes it from the query ("token="), for an event source, which
// cannot send headers.
enum class Access { open, control, controlQuery };

// Reply: how a handler answers, handed to it by reference so that one that answers later can
// take it along.
template <class Reply>
class RouteTable {
 public:
  using Handler = std::function<bool(const http::RequestInfo&, Reply&)>;

  struct Route {
    std::string method;  // "GET", "POST", or empty for any
    PathMatch match;
    std::string path;  // the whole path, or how it begins
    Access access;
    Handler handler;  // none: the row only marks its paths as control paths

    bool matchesPath(const std::string& requestPath) const {
      return match == PathMatch::exact ? requestPath == path : requestPath.starts_with(path);
    }
    bool matches(const http::RequestInfo& request) const {
      return (method.empty() || request.method == method) && matchesPath(request.path);
    }
  };

  RouteTable& add(std::string method, PathMatch match, std::string path, Access access,
                  Handler handler) {
    routes_.push_back(Route{std::move(method), match, std::move(path), access, std::move(handler)});
    return *this;
  }
  RouteTable& add(std::string method, PathMatch match, std::string path, Handler handler) {
    return add(std::move(method), match, std::move(path), Access::open, std::move(handler));
  }
  // Control paths that no row answers yet, so that one added there later is guarded at once.
  RouteTable& guard(PathMatch match, std::string path) {
    return add("", match, std::move(path), Access::control, nullptr);
  }

  // The first matching row that answers; false when none did.
  bool dispatch(const http::RequestInfo& request, Reply& reply) const {
    for (const Route& route : routes_) {
      if (route.handler && route.matches(request) && route.handler(request, reply)) return true;
    }
    return false;
  }

  // Whether a control row covers this path, whatever the method: the token is checked before
  // any row is asked.
  bool isControlPath(const std::string& path) const {
    for (const Route& route : routes_) {
      if (route.access != Access::open && route.matchesPath(path)) return true;
    }
    return false;
  }
  // Whether every control row for this request takes the token from the query as well.
  bool takesQueryToken(const http::RequestInfo& request) const {
    bool any = false;
    for (const Route& route : routes_) {
      if (route.access == Access::open || !route.matches(request)) continue;
      if (route.access != Access::controlQuery) return false;
      any = true;
    }
    return any;
  }

  const std::vector<Route>& routes() const { return routes_; }

 private:
  std::vector<Route> routes_;
};

}  // namespace solvera
