// HTTP request framing, parsing and reply building on bytes; no sockets here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/json_fwd.hpp"

namespace solvera::http {

inline constexpr std::int64_t kMaxRequestBytes = 524288;
inline constexpr std::size_t kReadChunkBytes = 65536;

struct RequestInfo {
  std::string method;
  std::string path;   // before the first "?", undecoded; "/" becomes "/index.html"
  std::string query;  // after the first "?", undecoded
  std::map<std::string, std::string> headers;  // names lower-cased; the first of a repeat wins
  std::string body;

  // The header's value, or nothing.
  std::optional<std::string> header(const std::string& lowerName) const;
};

// True once the bytes hold a whole head and as many body bytes as its Content-Length says.
bool requestDataIsComplete(std::string_view bytes);

// The same framing for a request that arrives in pieces: every byte is looked at once, so a
// long head sent a byte at a time costs no more than one sent at once.
class RequestFraming {
 public:
  // Appends the piece; true once the request is complete.
  bool append(std::string_view piece);
  bool complete() const;
  bool headComplete() const { return bodyStart_ != 0; }
  const std::string& bytes() const { return bytes_; }
  // Hands the bytes over and starts again empty.
  std::string release();

 private:
  std::string bytes_;
  std::size_t searchedTo_ = 0;  // no head end starts before this offset
  std::size_t bodyStart_ = 0;   // just past the head's CR LF CR LF; 0 until found
  bool headUsable_ = false;     // UTF-8 with a length that can be satisfied
  std::int64_t contentLength_ = 0;
};

// Parses one request; anything unparsable reads as GET "/index.html".
RequestInfo requestInfo(std::string_view bytes);

// ASCII letters in lower case (header names, host names, file extensions).
std::string lowerAscii(std::string_view s);

// The head of a reply whose body has length bytes.
std::string httpHead(std::string_view status, std::string_view contentType, std::uint64_t length);
std::string httpResponse(std::string_view status, std::string_view contentType,
                         std::string_view body);
std::string jsonResponse(const Json& object, std::string_view status = "200 OK");
std::string jsonResponse(const OrderedJson& object, std::string_view status = "200 OK");
// {"ok":false,"error":ERROR} with a "message" when there is one and the extra members.
std::string jsonFailure(std::string_view status, std::string_view error,
                        std::string_view message = {});
std::string jsonFailure(std::string_view status, std::string_view error, std::string_view message,
                        const OrderedJson& extra);

// The undecoded value of the first pair named name; nothing when absent or without "=".
std::optional<std::string> queryValue(std::string_view name, std::string_view query);

std::string mimeType(const std::filesystem::path& file);

// An open file sent after a reply's head in pieces, so a big file is never held whole.
struct FileBody {
  FileBody(int fd, std::uint64_t length) : fd(fd), length(length) {}
  ~FileBody();
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;
  const int fd;
  const std::uint64_t length;  // the size announced in the head
};

class EventStream;

// A reply ready for the connection: the bytes, then the file's bytes when there is one, or,
// for a stream, its events for as long as it lasts.
struct Response {
  std::string bytes;
  std::shared_ptr<FileBody> file;
  std::shared_ptr<EventStream> events{};
  // Everything as one byte string (reads the file).
  std::string flattened() const;
};

// Percent-decoding of a path; nothing on a malformed escape or a result that is not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

// The file reply for a request path, kept inside root or, for "/music-library/...", inside
// the music library, also against ".." and symbolic links. The file itself stays open and is
// streamed by the connection.
Response staticFileResponse(std::string_view path, const std::filesystem::path& root,
                            const std::filesystem::path& musicLibrary);
// The same reply as one byte string.
std::string staticResponse(std::string_view path, const std::filesystem::path& root,
                           const std::filesystem::path& musicLibrary);

}  // namespace solvera::http
