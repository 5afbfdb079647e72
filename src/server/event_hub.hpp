// The open event streams of one kind: every client gets each event, and one that connects
// gets the latest event of each name at once.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/event_stream.hpp"

namespace solvera {

class EventHub {
 public:
  // A client that lost the stream tries again after this long.
  static constexpr int kRetryMs = 1000;

  EventHub() = default;
  ~EventHub();  // ends every stream
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  // A new stream, starting with the retry hint and the latest event of each name.
  std::shared_ptr<http::EventStream> open();
  // Any thread. Kept as the latest of its name for clients yet to come.
  void publish(std::string_view name, std::string data);
  // Every stream ends once what waits has gone out; later ones still open.
  void closeAll();
  // Streams still open (ended ones are let go of here and at each publish).
  std::size_t openStreams();

 private:
  void pruneLocked();

  std::mutex mutex_;
  std::vector<std::shared_ptr<http::EventStream>> streams_;
  std::vector<std::pair<std::string, std::string>> latest_;  // name, data
};

}  // namespace solvera
