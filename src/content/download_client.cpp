// The libcurl download client.
#include "content/download_client.hpp"

#include <curl/curl.h>

#include <cstdio>
#include <memory>

namespace solvera {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

struct Transfer {
  std::FILE* file = nullptr;
  bool writeFailed = false;
  const std::atomic<bool>* cancelled = nullptr;
};

size_t writeBody(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  size_t bytes = size * count;
  if (std::fwrite(data, 1, bytes, transfer->file) != bytes) {
    transfer->writeFailed = true;
    return 0;  // makes curl stop with a write error
  }
  return bytes;
}

int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* transfer = static_cast<Transfer*>(user);
  return transfer->cancelled && transfer->cancelled->load() ? 1 : 0;
}

}  // namespace

DownloadResult CurlDownloadClient::download(const DownloadRequest& request,
                                            const std::atomic<bool>* cancelled) {
  DownloadResult result;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(request.destination.c_str(), "wb"));
  if (!file) {
    result.error = "cannot create " + request.destination.string();
    return result;
  }
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    result.error = "curl_easy_init failed";
    return result;
  }
  Transfer transfer{file.get(), false, cancelled};
  char errorText[CURL_ERROR_SIZE] = {};
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeBody);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, progress);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  // The timeout counts idle time, not the whole transfer: a large archive on a slow line
  // may take longer than a minute and still be healthy.
  const long seconds = static_cast<long>(request.timeout.count());
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, seconds);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, seconds);
  // Caches between us and the server must not hand back an older archive either.
  curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);

  CURLcode code = curl_easy_perform(c);
  curl_slist_free_all(headers);
  bool flushed = std::fflush(file.get()) == 0;
  if (code != CURLE_OK) {
    result.error = errorText[0] ? std::string(errorText) : std::string(curl_easy_strerror(code));
    return result;
  }
  if (transfer.writeFailed || !flushed) {
    result.error = "cannot write " + request.destination.string();
    return result;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status > 0) result.httpStatus = status;
  result.fileWritten = true;
  return result;
}

}  // namespace solvera
