// The streams of one kind of event and the latest of each name.
#include "server/event_hub.hpp"

#include <algorithm>

namespace solvera {

EventHub::~EventHub() { closeAll(); }

std::shared_ptr<http::EventStream> EventHub::open() {
  std::lock_guard lock(mutex_);
  pruneLocked();
  std::string preamble = "retry: " + std::to_string(kRetryMs) + "\n\n";
  for (const auto& [name, data] : latest_) preamble += http::serverSentEvent(name, data);
  auto stream = std::make_shared<http::EventStream>(std::move(preamble));
  streams_.push_back(stream);
  return stream;
}

void EventHub::publish(std::string_view name, std::string data) {
  // Under the lock, so that a client opening meanwhile gets this event either in its
  // preamble or pushed, never neither.
  std::lock_guard lock(mutex_);
  pruneLocked();
  for (const auto& stream : streams_) stream->push(name, data);
  auto same = std::find_if(latest_.begin(), latest_.end(),
                           [&](const auto& l) { return l.first == name; });
  if (same != latest_.end()) {
    same->second = std::move(data);
  } else {
    latest_.emplace_back(std::string(name), std::move(data));
  }
}

void EventHub::closeAll() {
  std::lock_guard lock(mutex_);
  for (const auto& stream : streams_) stream->close();
  streams_.clear();
}

std::size_t EventHub::openStreams() {
  std::lock_guard lock(mutex_);
  pruneLocked();
  return streams_.size();
}

void EventHub::pruneLocked() {
  std::erase_if(streams_, [](const auto& stream) { return stream->ended(); });
}

}  // namespace solvera
