// SPDX-License-Identifier: MIT
// The wishlist of one user, kept in step with the service: it loads the list,
// shows it, wishes one album through the change journal, sends the change
// (backing off while the service fails or does not answer) and shows the list
// again. The store and the journal are saved together in
// FOLDER/wishlist.snapshot after every change, so a second run goes on where
// the first stopped.
//   wishlist BASE_URL FOLDER [TIMEOUT_SECONDS]      (each request's deadline, 10 by default)
// The libraries through orvel.hpp; HTTP through libcurl.
#include <orvel.hpp>

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#if ORVEL_SYNC_VERSION_MAJOR == 1 && ORVEL_SYNC_VERSION_MINOR < 1
#error "this program needs liborvel-sync 1.1 or later"
#endif

namespace {

namespace fs = std::filesystem;

template <auto release>
struct Releaser {
  template <typename T>
  void operator()(T *p) const { release(p); }
};
using Curl = std::unique_ptr<CURL, Releaser<curl_easy_cleanup>>;
using Headers = std::unique_ptr<curl_slist, Releaser<curl_slist_free_all>>;
struct CloseFile {
  void operator()(std::FILE *file) const { std::fclose(file); }
};

constexpr int kMaxTries = 6;
constexpr std::size_t kMaxListBytes = 4u << 20;  // a list larger than this is refused

// ---- HTTP -------------------------------------------------------------------------
size_t collect(char *bytes, size_t size, size_t count, void *userdata) {
  auto *out = static_cast<std::string *>(userdata);
  if (size * count > kMaxListBytes - out->size()) return 0;  // too large: curl stops with an error
  out->append(bytes, size * count);
  return size * count;
}

// http()'s status when no answer came.
constexpr long kNotSent = 0;    // the request certainly did not leave: refused, or the name did not resolve
constexpr long kNoAnswer = -1;  // it may have reached the service: deadline passed, connection broken

struct Answer {
  long status = kNotSent;
  std::string body;
};

// One request on a connection of its own. The handle's release closes that
// connection before this returns, so a request without an answer can no
// longer land after it.
Answer http(long timeout_ms, const std::string &method, const std::string &url,
            const std::string *content_type = nullptr, const std::string *body = nullptr) {
  Answer answer;
  Curl curl(curl_easy_init());
  if (!curl) return answer;
  Headers headers;
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(curl.get(), CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer.body);
  if (body) {
    headers.reset(curl_slist_append(nullptr, ("Content-Type: " + *content_type).c_str()));
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body->c_str());
  }
  const CURLcode code = curl_easy_perform(curl.get());
  if (code == CURLE_OK) {
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &answer.status);
  } else {
    const bool never_left =
        code == CURLE_COULDNT_CONNECT || code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY;
    answer.status = never_left ? kNotSent : kNoAnswer;
  }
  return answer;
}

// ---- files -------------------------------------------------------------------------
// The whole file, or nothing with errno set (ENOENT: there is none).
std::optional<std::string> read_file(const fs::path &path) {
  const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "rb"));
  if (!file) return std::nullopt;
  std::string text;
  char chunk[8192];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0;) text.append(chunk, n);
  if (std::ferror(file.get())) return std::nullopt;
  return text;
}

// Replaces path with text whole: a temporary file, fsync, rename, and fsync of
// the folder, so a crash leaves the old file or the new one.
bool write_atomically(const fs::path &path, const std::string &text) {
  const fs::path temporary = path.string() + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  for (ssize_t n; done < text.size() && (n = ::write(fd, text.data() + done, text.size() - done)) >= 0;)
    done += static_cast<std::size_t>(n);
  bool ok = done == text.size() && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok && std::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
  ok = dir >= 0 && ::fsync(dir) == 0 && ok;
  if (dir >= 0) ::close(dir);
  return ok;
}

// The wishlist saved at path, or a new one when nothing is saved there yet. A
// snapshot that cannot be read is an error, and left as it is: starting anew
// would save over it.
orvel::SyncedWishlist open_wishes(const fs::path &path) {
  errno = 0;
  const std::optional<std::string> text = read_file(path);
  const int error = errno;
  if (!text && error == ENOENT) return orvel::SyncedWishlist();
  try {
    if (text) return orvel::SyncedWishlist::open_snapshot(*text);
  } catch (const orvel::Error &damaged) {
    throw std::runtime_error(path.string() + ": " + damaged.what());
  }
  throw std::runtime_error(path.string() + ": " + std::strerror(error));
}

class Wishlist {
 public:
  Wishlist(std::string base_url, fs::path snapshot, long timeout_ms)
      : base_url_(std::move(base_url)), snapshot_(std::move(snapshot)), timeout_ms_(timeout_ms),
        wishes_(open_wishes(snapshot_)) {}

  // The save step, after every change: the store and the journal in one snapshot.
  void save() {
    const orvel::Result<std::string> text = wishes_.try_snapshot();
    if (!text || !write_atomically(snapshot_, *text))
      std::fprintf(stderr, "wishlist: %s: could not save\n", snapshot_.c_str());
  }

  // Loads the list from the service; the token is taken before the request leaves.
  void refresh() {
    const int64_t token = wishes_.begin_refresh();
    const Answer list = http(timeout_ms_, "GET", orvel::Wishlist::mine_url(base_url_));
    if (list.status / 100 == 2 && wishes_.try_load(token, list.body).ok())
      save();
    else
      std::printf("the list could not be loaded (HTTP %ld): showing the saved one\n", std::max(list.status, 0L));
  }

  void show() const {
    std::printf("wishlist: %zu entries\n", wishes_.size());
    for (const orvel::Entry entry : wishes_.entries()) {
      std::string line = "  " + std::string(orvel::to_string(entry.kind)) + " ";
      ((line += entry.item_id) += ": ") += entry.title;
      if (!entry.artist.empty()) (line += ", by ") += entry.artist;
      std::puts(line.c_str());
    }
  }

  int64_t wish(orvel::Kind kind, std::string_view item_id, std::string_view title, std::string_view artist) {
    const int64_t op = wishes_.set_wished(kind, item_id, true, title, artist);
    save();
    return op;
  }

  // 2xx: applied; 408, 429, 5xx or not sent: failed, to try again later; no
  // answer: unknown, it may have landed, tried again too; other 4xx: refused for good.
  static orvel::Outcome outcome_of(long status) {
    if (status == kNoAnswer) return orvel::Outcome::unknown;
    if (status / 100 == 2) return orvel::Outcome::accepted;
    if (status / 100 == 4 && status != 408 && status != 429) return orvel::Outcome::rejected;
    return orvel::Outcome::failed;
  }

  // The sync step: sends the oldest unsent change and reports what became of
  // it. Its outcome, or nothing when nothing was left to send.
  std::optional<orvel::Outcome> sync_one() {
    const std::optional<orvel::PendingRequest> request = wishes_.next_request(base_url_);
    if (!request) return std::nullopt;
    save();  // in flight before it leaves: after a crash a later tap is sent, not cancelled
    const Answer answer = http(timeout_ms_, request->method, request->url, &request->content_type, &request->body);
    const orvel::Outcome outcome = outcome_of(answer.status);
    wishes_.report(request->op_id, outcome);
    return outcome;
  }

  // Sends every change, waiting longer after each failure or request without
  // an answer (no hot loop while the service is down); after kMaxTries of them
  // the rest waits for a later run.
  void send_changes() {
    auto delay = std::chrono::milliseconds(200);
    int failures = 0;
    while (const std::optional<orvel::Outcome> outcome = sync_one()) {
      save();
      if (*outcome == orvel::Outcome::accepted) std::printf("sent: accepted\n");
      if (*outcome == orvel::Outcome::rejected) std::printf("sent: refused by the service\n");
      if (*outcome != orvel::Outcome::failed && *outcome != orvel::Outcome::unknown) continue;
      if (++failures == kMaxTries) {
        std::printf("sent: failed; %d changes kept for later\n", wishes_.unsent());
        return;
      }
      std::printf(*outcome == orvel::Outcome::failed ? "sent: failed, trying again in %.1f s\n"
                                                     : "sent: no answer in time, trying again in %.1f s\n",
                  static_cast<double>(delay.count()) / 1000);
      std::this_thread::sleep_for(delay);
      delay = std::min(delay * 2, std::chrono::milliseconds(5000));
    }
  }

  int held() const { return wishes_.held(); }

 private:
  std::string base_url_;
  fs::path snapshot_;
  long timeout_ms_;  // each request's deadline
  orvel::SyncedWishlist wishes_;
};

// curl's global state, for as long as main runs.
struct CurlGlobal {
  CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
  ~CurlGlobal() { curl_global_cleanup(); }
  CurlGlobal(const CurlGlobal &) = delete;
  CurlGlobal &operator=(const CurlGlobal &) = delete;
};

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc == 4 ? std::strtod(argv[3], nullptr) : 10;
  if (argc < 3 || argc > 4 || !(seconds > 0 && seconds < 3600)) {
    std::fprintf(stderr, "usage: wishlist BASE_URL FOLDER [TIMEOUT_SECONDS]\n");
    return 2;
  }
  const CurlGlobal curl;
  try {
    Wishlist wishes(argv[1], fs::path(argv[2]) / "wishlist.snapshot", static_cast<long>(seconds * 1000));
    wishes.refresh();
    wishes.show();
    const int64_t op = wishes.wish(orvel::Kind::album, "al-42", "Blue Hour", "Ines Varga");
    std::printf("%s", op > 0 ? "wished album al-42\n" : "album al-42 is wished already\n");
    wishes.send_changes();
    wishes.refresh();
    wishes.show();
    std::printf("changes not yet confirmed: %d\n", wishes.held());
  } catch (const std::exception &error) {  // an orvel::Error, a snapshot that cannot be read, no memory
    std::fprintf(stderr, "wishlist: %s\n", error.what());
    return 1;
  }
  return 0;
}
