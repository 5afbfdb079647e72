// Request framing and parsing, reply heads, query lookup and content types.
#include "http/http.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <vector>

#include "common/json.hpp"

namespace solvera::http {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";

// White space and line breaks, as trimmed from header names and values.
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

// A decimal integer with one optional sign and nothing else; nothing on overflow.
std::optional<std::int64_t> parseInteger(std::string_view s) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s.front() == '-') return std::nullopt;  // "+-5" has two signs
  }
  if (s.empty()) return std::nullopt;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> splitLines(std::string_view head) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    std::size_t at = head.find("\r\n", start);
    if (at == std::string_view::npos) {
      lines.push_back(head.substr(start));
      return lines;
    }
    lines.push_back(head.substr(start, at - start));
    start = at + 2;
  }
}

}  // namespace

std::string lowerAscii(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::optional<std::string> RequestInfo::header(const std::string& lowerName) const {
  auto it = headers.find(lowerName);
  if (it == headers.end()) return std::nullopt;
  return it->second;
}

bool requestDataIsComplete(std::string_view bytes) {
  RequestFraming framing;
  return framing.append(bytes);
}

bool RequestFraming::append(std::string_view piece) {
  bytes_.append(piece);
  if (bodyStart_ == 0) {
    std::size_t at = std::string_view(bytes_).find(kHeadEnd, searchedTo_);
    if (at == std::string_view::npos) {
      // The head's end may straddle this piece and the next.
      searchedTo_ = bytes_.size() < kHeadEnd.size() ? 0 : bytes_.size() - kHeadEnd.size() + 1;
      return false;
    }
    bodyStart_ = at + kHeadEnd.size();
    std::string_view head = std::string_view(bytes_).substr(0, at);
    // A head that is not UTF-8 never completes: the request ends with the stream or a limit.
    headUsable_ = isValidUtf8(head);
    auto lines = splitLines(head);
    for (std::size_t i = 1; headUsable_ && i < lines.size(); ++i) {
      std::size_t colon = lines[i].find(':');
      if (colon == std::string_view::npos) continue;
      if (lowerAscii(trim(lines[i].substr(0, colon))) != "content-length") continue;
      if (auto n = parseInteger(trim(lines[i].substr(colon + 1)))) {
        contentLength_ = *n;
        break;
      }
    }
    // A length that would overflow the sum can never be satisfied either.
    if (contentLength_ >
        std::numeric_limits<std::int64_t>::max() - static_cast<std::int64_t>(bodyStart_)) {
      headUsable_ = false;
    }
  }
  return complete();
}

std::string RequestFraming::release() {
  std::string out = std::move(bytes_);
  *this = RequestFraming();
  return out;
}

bool RequestFraming::complete() const {
  if (bodyStart_ == 0 || !headUsable_) return false;
  return static_cast<std::int64_t>(bytes_.size()) >=
         static_cast<std::int64_t>(bodyStart_) + contentLength_;
}

RequestInfo requestInfo(std::string_view bytes) {
  RequestInfo fallback{"GET", "/index.html", "", {}, ""};
  std::size_t at = bytes.find(kHeadEnd);
  if (at == std::string_view::npos) return fallback;
  std::string_view head = bytes.substr(0, at);
  if (!isValidUtf8(head)) return fallback;
  auto lines = splitLines(head);

  std::vector<std::string_view> words;
  std::string_view requestLine = lines[0];
  std::size_t pos = 0;
  while (pos < requestLine.size()) {
    std::size_t space = requestLine.find(' ', pos);
    if (space == std::string_view::npos) space = requestLine.size();
    if (space > pos) words.push_back(requestLine.substr(pos, space - pos));
    pos = space + 1;
  }
  if (words.size() < 2) return fallback;

  RequestInfo info;
  info.method = std::string(words[0]);
  std::string_view target = words[1];
  std::size_t question = target.find('?');
  info.path = std::string(target.substr(0, question));
  if (question != std::string_view::npos) info.query = std::string(target.substr(question + 1));
  if (info.path == "/") info.path = "/index.html";

  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::size_t colon = lines[i].find(':');
    if (colon == std::string_view::npos) continue;
    // emplace keeps the first value of a repeated header.
    info.headers.emplace(lowerAscii(trim(lines[i].substr(0, colon))),
                         std::string(trim(lines[i].substr(colon + 1))));
  }

  auto bodyStart = static_cast<std::int64_t>(at + kHeadEnd.size());
  auto total = static_cast<std::int64_t>(bytes.size());
  std::int64_t length = total - bodyStart;
  if (auto cl = info.headers.find("content-length"); cl != info.headers.end()) {
    if (auto n = parseInteger(cl->second)) length = *n;
  }
  std::int64_t end = length > total - bodyStart ? total : bodyStart + length;
  if (end > bodyStart) info.body = std::string(bytes.substr(bodyStart, end - bodyStart));
  return info;
}

std::string httpHead(std::string_view status, std::string_view contentType, std::uint64_t length) {
  std::string out;
  out.reserve(128);
  out += "HTTP/1.1 ";
  out += status;
  out += "\r\nContent-Type: ";
  out += contentType;
  out += "\r\nContent-Length: ";
  out += std::to_string(length);
  out += "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n";
  return out;
}

std::string httpResponse(std::string_view status, std::string_view contentType,
                         std::string_view body) {
  std::string out = httpHead(status, contentType, body.size());
  out += body;
  return out;
}

std::string jsonResponse(const Json& object, std::string_view status) {
  return httpResponse(status, "application/json", compactJson(object).value_or(R"({"ok":false})"));
}

std::string jsonResponse(const OrderedJson& object, std::string_view status) {
  return httpResponse(status, "application/json", compactJson(object).value_or(R"({"ok":false})"));
}

std::string jsonFailure(std::string_view status, std::string_view error, std::string_view message,
                        const OrderedJson& extra) {
  OrderedJson reply{{"ok", false}, {"error", error}};
  if (!message.empty()) reply["message"] = message;
  for (const auto& [key, value] : extra.items()) reply[key] = value;
  return jsonResponse(reply, status);
}

std::string jsonFailure(std::string_view status, std::string_view error, std::string_view message) {
  return jsonFailure(status, error, message, OrderedJson::object());
}

std::optional<std::string> queryValue(std::string_view name, std::string_view query) {
  std::size_t pos = 0;
  while (pos <= query.size()) {
    std::size_t amp = query.find('&', pos);
    if (amp == std::string_view::npos) amp = query.size();
    std::string_view pair = query.substr(pos, amp - pos);
    std::size_t eq = pair.find('=');
    std::string_view key = pair.substr(0, eq);
    if (key == name) {
      if (eq == std::string_view::npos) return std::nullopt;
      return std::string(pair.substr(eq + 1));
    }
    pos = amp + 1;
  }
  return std::nullopt;
}

std::string mimeType(const std::filesystem::path& file) {
  std::string ext = file.extension().string();
  if (!ext.empty()) ext = lowerAscii(ext.substr(1));
  if (ext == "html") return "text/html; charset=utf-8";
  if (ext == "css") return "text/css; charset=utf-8";
  if (ext == "js") return "application/javascript; charset=utf-8";
  if (ext == "png") return "image/png";
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "webp") return "image/webp";
  return "application/octet-stream";
}

std::optional<std::string> percentDecode(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  if (!isValidUtf8(out)) return std::nullopt;
  return out;
}

}  // namespace solvera::http
