// Line splitting and trimming of the bridge's output.
#include "bridge/bridge_lines.hpp"

#include <cstdint>

#include "common/json.hpp"

namespace solvera {

namespace {

bool isWhitespace(std::uint32_t c) {
  switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Decodes the character starting at text[i] (valid UTF-8 assumed); sets its length.
std::uint32_t decodeAt(std::string_view text, std::size_t i, std::size_t& length) {
  auto b = [&](std::size_t k) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[k]));
  };
  std::uint32_t c = b(i);
  if (c < 0x80) return length = 1, c;
  if (c < 0xE0) return length = 2, ((c & 0x1F) << 6) | (b(i + 1) & 0x3F);
  if (c < 0xF0)
    return length = 3, ((c & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
  return length = 4, ((c & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) |
                         (b(i + 3) & 0x3F);
}

// The start of the character that ends just before `end`.
std::size_t previousCharacter(std::string_view text, std::size_t end) {
  std::size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
  return i;
}

}  // namespace

std::string_view trimWhitespace(std::string_view text) {
  std::size_t begin = 0, length = 0;
  while (begin < text.size() && isWhitespace(decodeAt(text, begin, length))) begin += length;
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = previousCharacter(text, end);
    if (!isWhitespace(decodeAt(text, start, length))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string_view eventOfLine(std::string_view line) {
  if (!isValidUtf8(line)) return {};
  std::string_view trimmed = trimWhitespace(line);
  if (trimmed.size() < 2 || trimmed.front() != '{' || trimmed.back() != '}') return {};
  // The parser reads a NUL byte as the end of the input and would pass "{}\0garbage" on.
  if (trimmed.find('\0') != std::string_view::npos || !Json::accept(trimmed)) return {};
  return trimmed;
}

void BridgeLineBuffer::append(std::string_view data,
                              const std::function<void(std::string_view)>& onEvent) {
  while (!data.empty()) {
    std::size_t feed = data.find('\n');
    if (discarding_) {
      if (feed == std::string_view::npos) return;
      discarding_ = false;
      ++dropped_;
      data.remove_prefix(feed + 1);
      continue;
    }
    if (feed == std::string_view::npos) {
      if (buffer_.size() + data.size() > max_) {
        buffer_.clear();
        buffer_.shrink_to_fit();
        discarding_ = true;
      } else {
        buffer_.append(data);
      }
      return;
    }
    std::string_view piece = data.substr(0, feed);
    data.remove_prefix(feed + 1);
    if (buffer_.size() + piece.size() > max_) {
      buffer_.clear();
      ++dropped_;
      continue;
    }
    std::string_view line = piece;
    if (!buffer_.empty()) {
      buffer_.append(piece);
      line = buffer_;
    }
    take(line, onEvent);
    buffer_.clear();
  }
}

void BridgeLineBuffer::take(std::string_view line,
                            const std::function<void(std::string_view)>& onEvent) {
  if (auto event = eventOfLine(line); !event.empty()) {
    onEvent(event);
  } else if (!isValidUtf8(line) || !trimWhitespace(line).empty()) {
    ++dropped_;
  }
}

void BridgeLineBuffer::clear() {
  buffer_.clear();
  discarding_ = false;
}

}  // namespace solvera
