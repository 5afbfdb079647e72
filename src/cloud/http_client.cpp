// The shared HTTP client over libcurl's multi interface, with our own idle time-out.
#include "cloud/http_client.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace solvera::cloud {
namespace {

using Clock = std::chrono::steady_clock;

void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
  HttpRequest request;
  HttpClient::Completion completion;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string received;
  Clock::time_point lastActivity = Clock::now();
  curl_off_t lastProgress = -1;
  char errorText[CURL_ERROR_SIZE] = {};

  Transfer(HttpRequest r, HttpClient::Completion c)
      : request(std::move(r)), completion(std::move(c)) {}
  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  void finish(HttpResponse response) {
    auto done = std::move(completion);
    completion = nullptr;
    if (!done) return;
    // A completion that throws must not take the client's thread down with it.
    try {
      done(std::move(response));
    } catch (...) {
    }
  }

  void fail(const std::string& error, bool timedOut = false) {
    HttpResponse response;
    response.error = error;
    response.timedOut = timedOut;
    finish(std::move(response));
  }
};

// Returning less than n aborts the transfer.
size_t writeBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (t->request.bodySink) {
    if (!t->request.bodySink(std::string_view(data, n))) return 0;
  } else {
    if (t->received.size() + n > HttpClient::kMaxResponseBytes) return 0;
    t->received.append(data, n);
  }
  t->lastActivity = Clock::now();
  return n;
}

// Called often by libcurl while a transfer runs (also while it waits); any byte moved either
// way counts as activity. Non-zero aborts the transfer.
int progress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* t = static_cast<Transfer*>(user);
  if (t->request.cancelled && t->request.cancelled->load()) return 1;
  if (dlnow + ulnow != t->lastProgress) {
    t->lastProgress = dlnow + ulnow;
    t->lastActivity = Clock::now();
  }
  return 0;
}

// A header line for curl: "Name;" is how it sends a header with an empty value ("Name:" would
// remove the header instead).
std::string headerLine(const std::string& name, const std::string& value) {
  return value.empty() ? name + ";" : name + ": " + value;
}

bool hasLineBreak(const std::string& s) {
  return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

struct HttpClient::Impl {
  CURLM* multi = nullptr;
  std::mutex mutex;
  std::deque<std::unique_ptr<Transfer>> incoming;  // guarded by mutex
  bool stopping = false;                           // guarded by mutex
  std::map<CURL*, std::unique_ptr<Transfer>> active;  // the client thread's own
  std::thread thread;
  std::once_flag begun;

  // The TLS libraries and the thread come with the first request: a program that never
  // asks the outside world keeps neither in memory.
  void begin() {
    std::call_once(begun, [this] {
      initialiseCurlOnce();
      multi = curl_multi_init();
      thread = std::thread([this] { run(); });
    });
  }

  bool setUp(Transfer& t) {
    const HttpRequest& r = t.request;
    if (r.method != "GET" && r.method != "POST") return false;
    t.easy = curl_easy_init();
    if (!t.easy) return false;
    for (const auto& [name, value] : r.headers) {
      // A line break in a header would let a value write headers of its own.
      if (hasLineBreak(name) || hasLineBreak(value)) return false;
      t.headers = curl_slist_append(t.headers, headerLine(name, value).c_str());
    }
    t.headers = curl_slist_append(t.headers, "Expect:");  // no 100-continue round trip
    if (!t.headers) return false;
    long timeoutMs = std::max<long>(1, static_cast<long>(r.timeout.count()));
    CURL* e = t.easy;
    bool ok = curl_easy_setopt(e, CURLOPT_URL, r.url.c_str()) == CURLE_OK &&
              curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    if (!ok) return false;
    if (r.followRedirects) {
      bool secure = r.url.size() >= 8 && curl_strnequal(r.url.c_str(), "https://", 8);
      curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
      curl_easy_setopt(e, CURLOPT_MAXREDIRS, HttpClient::kMaxRedirects);
      curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
      curl_easy_setopt(e, CURLOPT_POSTREDIR, 0L);
    }
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorText);
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");  // what the library can decode
    // Some web hosts turn away requests that name no client.
    curl_easy_setopt(e, CURLOPT_USERAGENT, "SolveraPro libcurl/" LIBCURL_VERSION);
    // The loopback never goes through a proxy from the environment.
    curl_easy_setopt(e, CURLOPT_NOPROXY, "localhost,127.0.0.1,::1");
    if (r.method == "POST") {
      curl_easy_setopt(e, CURLOPT_POST, 1L);
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.data());
    } else {
      curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    }
    t.lastActivity = Clock::now();
    return true;
  }

  void finish(CURL* easy, CURLcode result) {
    auto it = active.find(easy);
    if (it == active.end()) return;
    std::unique_ptr<Transfer> t = std::move(it->second);
    active.erase(it);
    curl_multi_remove_handle(multi, easy);
    if (result != CURLE_OK) {
      return t->fail(t->errorText[0] ? std::string(t->errorText) : curl_easy_strerror(result));
    }
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    if (code <= 0) return t->fail("no HTTP response");
    HttpResponse response;
    response.status = static_cast<int>(code);
    response.body = std::move(t->received);
    t->finish(std::move(response));
  }

  // Ends the transfers that have been idle for their time-out; returns how long until the
  // next one could be, at most a second.
  std::chrono::milliseconds expireIdle() {
    auto now = Clock::now();
    std::chrono::milliseconds next(1000);
    std::vector<CURL*> expired;
    for (auto& [easy, t] : active) {
      auto deadline = t->lastActivity + t->request.timeout;
      if (deadline <= now) {
        expired.push_back(easy);
      } else {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        next = std::min(next, left);
      }
    }
    for (CURL* easy : expired) {
      auto t = std::move(active[easy]);
      active.erase(easy);
      curl_multi_remove_handle(multi, easy);
      t->fail("The request timed out.", true);
    }
    return next;
  }

  void run() {
    while (true) {
      std::deque<std::unique_ptr<Transfer>> fresh;
      {
        std::lock_guard lock(mutex);
        if (stopping) break;
        fresh.swap(incoming);
      }
      for (auto& t : fresh) {
        if (!setUp(*t)) {
          t->fail("The request could not be made.");
          continue;
        }
        CURL* easy = t->easy;
        if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
          t->fail("The request could not be started.");
          continue;
        }
        active.emplace(easy, std::move(t));
      }
      int running = 0;
      curl_multi_perform(multi, &running);
      int left = 0;
      while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        CURL* easy = msg->easy_handle;
        CURLcode result = msg->data.result;
        finish(easy, result);
      }
      auto wait = expireIdle();
      curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::max<long>(1, wait.count())),
                      nullptr);
    }
    for (auto& [easy, t] : active) {
      curl_multi_remove_handle(multi, easy);
      t->fail("The request was cancelled.");
    }
    active.clear();
    std::deque<std::unique_ptr<Transfer>> rest;
    {
      std::lock_guard lock(mutex);
      rest.swap(incoming);
    }
    for (auto& t : rest) t->fail("The request was cancelled.");
  }
};

HttpClient::HttpClient() : impl_(std::make_unique<Impl>()) {}

HttpClient::~HttpClient() {
  if (!impl_->thread.joinable()) return;  // never used
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  curl_multi_wakeup(impl_->multi);
  impl_->thread.join();
  curl_multi_cleanup(impl_->multi);
}

HttpClient& HttpClient::shared() {
  static HttpClient client;
  return client;
}

void HttpClient::start(HttpRequest request, Completion completion) {
  impl_->begin();
  auto transfer = std::make_unique<Transfer>(std::move(request), std::move(completion));
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->stopping) {
      impl_->incoming.push_back(std::move(transfer));
      transfer = nullptr;
    }
  }
  if (transfer) return transfer->fail("The request was cancelled.");
  curl_multi_wakeup(impl_->multi);
}

}  // namespace solvera::cloud
