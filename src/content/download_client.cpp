// The download client over the shared HTTP client: the body goes straight to the file.
#include "content/download_client.hpp"

#include <cstdio>
#include <future>
#include <memory>

#include "cloud/http_client.hpp"

namespace solvera {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

HttpDownloadClient::HttpDownloadClient(cloud::HttpClient& client) : client_(client) {}
HttpDownloadClient::HttpDownloadClient() : HttpDownloadClient(cloud::HttpClient::shared()) {}

DownloadResult HttpDownloadClient::download(const DownloadRequest& request,
                                            const std::atomic<bool>* cancelled) {
  DownloadResult result;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(request.destination.c_str(), "wb"));
  if (!file) {
    result.error = "cannot create " + request.destination.string();
    return result;
  }
  cloud::HttpRequest http;
  http.url = request.url;
  // Idle time, not the whole transfer: a large archive on a slow line may take longer than a
  // minute and still be healthy.
  http.timeout = request.timeout;
  // Caches between us and the server must not hand back an older archive either.
  http.headers = {{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}};
  bool writeFailed = false;  // only touched by the sink until the completion has run
  http.bodySink = [out = file.get(), &writeFailed](std::string_view piece) {
    if (std::fwrite(piece.data(), 1, piece.size(), out) == piece.size()) return true;
    writeFailed = true;
    return false;
  };
  http.cancelled = cancelled;

  std::promise<cloud::HttpResponse> done;
  auto finished = done.get_future();
  client_.start(std::move(http),
                [&done](cloud::HttpResponse response) { done.set_value(std::move(response)); });
  cloud::HttpResponse response = finished.get();
  bool flushed = std::fflush(file.get()) == 0;
  if (response.error) {
    result.error = std::move(response.error);
    return result;
  }
  if (writeFailed || !flushed) {
    result.error = "cannot write " + request.destination.string();
    return result;
  }
  result.httpStatus = response.status;
  result.fileWritten = true;
  return result;
}

}  // namespace solvera
