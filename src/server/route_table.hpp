// The server's route table: rows of {method, exact path or prefix, handler}, tried in the
// order they were added. A handler answers (true) or passes the request on (false); what no
// row answers gets the caller's fallback.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "http/http.hpp"

namespace solvera {

enum class PathMatch { exact, prefix };

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
    Handler handler;

    bool matches(const http::RequestInfo& request) const {
      if (!method.empty() && request.method != method) return false;
      return match == PathMatch::exact ? request.path == path : request.path.starts_with(path);
    }
  };

  RouteTable& add(std::string method, PathMatch match, std::string path, Handler handler) {
    routes_.push_back(Route{std::move(method), match, std::move(path), std::move(handler)});
    return *this;
  }

  // The first matching row that answers; false when none did.
  bool dispatch(const http::RequestInfo& request, Reply& reply) const {
    for (const Route& route : routes_) {
      if (route.matches(request) && route.handler(request, reply)) return true;
    }
    return false;
  }

  const std::vector<Route>& routes() const { return routes_; }

 private:
  std::vector<Route> routes_;
};

}  // namespace solvera
