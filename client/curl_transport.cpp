// SPDX-License-Identifier: MIT
// The default transport, on libcurl: one easy handle per request in flight,
// kept in a pool so that connections are reused; no redirects followed (the
// client decides), certificates checked as libcurl does by default.
#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "orvel/client.hpp"

namespace orvel {

namespace {

struct Received {
  HttpResponse *response;
  std::size_t limit;
  bool too_large = false;
};

std::size_t on_body(char *data, std::size_t size, std::size_t count, void *user) {
  auto *into = static_cast<Received *>(user);
  const std::size_t n = size * count;
  if (into->response->body.size() + n > into->limit) {
    into->too_large = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  into->response->body.append(data, n);
  return n;
}

std::size_t on_header(char *data, std::size_t size, std::size_t count, void *user) {
  auto *into = static_cast<Received *>(user);
  const std::size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.substr(0, 5) == "HTTP/") {
    into->response->headers.clear();  // a new response (after a 100 Continue)
  } else if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    into->response->headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return n;
}

class CurlTransport final : public Transport {
 public:
  CurlTransport() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  }
  ~CurlTransport() override {
    for (CURL *handle : idle_) curl_easy_cleanup(handle);
  }

  HttpResponse send(const HttpRequest &request, Deadline deadline) override {
    HttpResponse response;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      response.kind = HttpResponse::Kind::not_sent;
      response.reason = "deadline passed before sending";
      return response;
    }
    CURL *handle = take();
    if (handle == nullptr) {
      response.reason = "cannot start a request";
      return response;
    }
    Received received{&response, request.max_response_bytes};
    curl_slist *headers = nullptr;
    for (const auto &[name, value] : request.headers) {
      headers = curl_slist_append(headers, (name + ": " + value).c_str());
    }
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // The whole request, connect to last byte, within the deadline.
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(left));
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(left));
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &received);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &received);
    if (request.method == "POST") {
      curl_easy_setopt(handle, CURLOPT_POST, 1L);
      curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    } else {
      curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }
    const CURLcode code = curl_easy_perform(handle);
    long status = 0, written = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &written);
    curl_slist_free_all(headers);
    if (code == CURLE_OK) {
      response.kind = HttpResponse::Kind::answered;
      response.status = static_cast<int>(status);
      give_back(handle);
      return response;
    }
    // A transfer that failed leaves its connection unusable: drop the handle with it.
    curl_easy_cleanup(handle);
    response.status = 0;
    response.body.clear();
    if (received.too_large) {
      response.kind = HttpResponse::Kind::maybe_sent;
      response.reason = "response larger than " + std::to_string(request.max_response_bytes) + " bytes";
    } else {
      const bool never_sent = code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST ||
                              code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_UNSUPPORTED_PROTOCOL ||
                              code == CURLE_URL_MALFORMAT || written == 0;
      response.kind = never_sent ? HttpResponse::Kind::not_sent : HttpResponse::Kind::maybe_sent;
      response.reason = curl_easy_strerror(code);
    }
    return response;
  }

 private:
  CURL *take() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (!idle_.empty()) {
        CURL *handle = idle_.back();
        idle_.pop_back();
        curl_easy_reset(handle);
        return handle;
      }
    }
    return curl_easy_init();
  }
  void give_back(CURL *handle) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (idle_.size() < 8) {
      idle_.push_back(handle);
      return;
    }
    curl_easy_cleanup(handle);
  }

  std::mutex mutex_;
  std::vector<CURL *> idle_;
};

}  // namespace

std::shared_ptr<Transport> make_default_transport() { return std::make_shared<CurlTransport>(); }

}  // namespace orvel
