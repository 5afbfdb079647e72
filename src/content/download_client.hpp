// Downloading one file over HTTP(S): an interface so the installer can be driven by any
// client, and the one the application uses, over its shared HTTP client.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace solvera {
namespace cloud {
class HttpClient;
}

struct DownloadRequest {
  std::string url;
  // How long the transfer may stall (connecting, or no data arriving) before it fails.
  std::chrono::seconds timeout{60};
  std::filesystem::path destination;  // the file to write; created or truncated
};

struct DownloadResult {
  std::optional<std::string> error;  // transport failure, with its description
  std::optional<long> httpStatus;    // nothing when the reply was not HTTP
  bool fileWritten = false;          // the body is in the destination file
};

class DownloadClient {
 public:
  virtual ~DownloadClient() = default;
  // Blocks until the transfer ends. cancelled, when set, aborts the transfer soon after.
  virtual DownloadResult download(const DownloadRequest& request,
                                  const std::atomic<bool>* cancelled = nullptr) = 0;
};

// Redirects followed as the shared client follows them, no cached copy ever used, bodies of
// any status written to the file, whatever their size.
class HttpDownloadClient final : public DownloadClient {
 public:
  explicit HttpDownloadClient(cloud::HttpClient& client);
  HttpDownloadClient();  // the shared client
  DownloadResult download(const DownloadRequest& request,
                          const std::atomic<bool>* cancelled = nullptr) override;

 private:
  cloud::HttpClient& client_;
};

}  // namespace solvera
