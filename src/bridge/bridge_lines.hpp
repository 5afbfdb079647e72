// Turning the headband bridge's output bytes into event lines.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace solvera {

// White space and line breaks (ASCII and Unicode) removed at both ends of UTF-8 text.
std::string_view trimWhitespace(std::string_view text);

// The event a line carries: the trimmed text when it is valid UTF-8 and one JSON object, else
// nothing (empty view). Only whole objects go to the page: a line that merely looks like one
// ("{x}") would make the page's script fail and lose every event of its batch.
std::string_view eventOfLine(std::string_view line);

// Collects bytes until line feeds complete lines. A line that grows past maxLineBytes without
// ending is dropped, through its line feed, so that a bridge cannot exhaust memory.
class BridgeLineBuffer {
 public:
  static constexpr std::size_t kMaxLineBytes = std::size_t{1024} * 1024;

  explicit BridgeLineBuffer(std::size_t maxLineBytes = kMaxLineBytes) : max_(maxLineBytes) {}

  // Calls onEvent for each accepted event, in order.
  void append(std::string_view data, const std::function<void(std::string_view)>& onEvent);
  void clear();
  std::size_t bufferedBytes() const { return buffer_.size(); }
  // Lines dropped because they were not one JSON object (blank lines are not counted).
  std::size_t droppedLines() const { return dropped_; }

 private:
  std::size_t max_;
  std::string buffer_;
  bool discarding_ = false;  // inside an over-long line: skip to its line feed
  std::size_t dropped_ = 0;
  void take(std::string_view line, const std::function<void(std::string_view)>& onEvent);
};

}  // namespace solvera
