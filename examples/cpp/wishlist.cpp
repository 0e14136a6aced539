// The wishlist of one user, kept in step with the service: it loads the list,
// shows it, wishes one album through the change journal, sends the change
// (backing off while the service fails) and shows the list again. The store
// and the journal are saved in FOLDER after every change, so a second run
// goes on where the first stopped.
//   wishlist BASE_URL FOLDER [TIMEOUT_SECONDS]      (each request's deadline, 10 by default)
// The C interface from C++, each handle owned by a unique_ptr; HTTP through
// libcurl, JSON through yyjson (which liborvel-dev brings).
#include <orvel.h>
#include <orvel_sync.h>

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

template <auto release>
struct Releaser {
  template <typename T>
  void operator()(T *p) const { release(p); }
};
using Store = std::unique_ptr<orvel_store, Releaser<orvel_destroy>>;
using Journal = std::unique_ptr<orvel_journal, Releaser<orvel_sync_destroy>>;
using Text = std::unique_ptr<char, Releaser<orvel_free>>;
using SyncText = std::unique_ptr<char, Releaser<orvel_sync_free>>;
using Json = std::unique_ptr<yyjson_doc, Releaser<yyjson_doc_free>>;
using Curl = std::unique_ptr<CURL, Releaser<curl_easy_cleanup>>;
using Headers = std::unique_ptr<curl_slist, Releaser<curl_slist_free_all>>;

constexpr int kMaxTries = 6;
constexpr std::size_t kMaxListBytes = 4u << 20;  // a list larger than this is refused

Json parse(const std::string &text) { return Json(yyjson_read(text.data(), text.size(), 0)); }
std::string member(yyjson_val *object, const char *name) {
  const char *text = yyjson_get_str(yyjson_obj_get(object, name));
  return text ? text : "";
}

// ---- HTTP -------------------------------------------------------------------------
size_t collect(char *bytes, size_t size, size_t count, void *userdata) {
  auto *out = static_cast<std::string *>(userdata);
  if (size * count > kMaxListBytes - out->size()) return 0;  // too large: curl stops with an error
  out->append(bytes, size * count);
  return size * count;
}

struct Answer {
  long status = 0;  // 0: no answer (refused, reset or past its deadline)
  std::string body;
};

// One request on a connection of its own. The handle's release closes that
// connection before this returns, so a request without an answer can no
// longer reach the service.
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
  if (curl_easy_perform(curl.get()) == CURLE_OK) curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &answer.status);
  return answer;
}

// ---- files -------------------------------------------------------------------------
std::optional<std::string> read_file(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), {});
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
  const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
  ok = dir >= 0 && ::fsync(dir) == 0 && ok;
  if (dir >= 0) ::close(dir);
  return ok;
}

class Wishlist {
 public:
  Wishlist(std::string base_url, fs::path folder, long timeout_ms)
      : base_url_(std::move(base_url)), folder_(std::move(folder)), timeout_ms_(timeout_ms), store_(orvel_create()),
        journal_(store_ ? orvel_sync_create(store_.get()) : nullptr) {
    const auto store = read_file(folder_ / "wishes.json"), journal = read_file(folder_ / "journal.json");
    if (journal_ && store && journal &&
        (orvel_load_mine_json(store_.get(), store->data(), store->size()) < 0 ||
         orvel_sync_restore(journal_.get(), journal->data(), journal->size()) < 0))
      std::fprintf(stderr, "wishlist: the saved wishlist is damaged (%s): starting anew\n", orvel_sync_last_error());
  }
  explicit operator bool() const { return journal_ != nullptr; }

  // The save step, after every change: the store, then the journal.
  void save() {
    Text store(orvel_export_json(store_.get()));
    SyncText journal(orvel_sync_export(journal_.get()));
    if (!store || !journal || !write_atomically(folder_ / "wishes.json", store.get()) ||
        !write_atomically(folder_ / "journal.json", journal.get()))
      std::fprintf(stderr, "wishlist: could not save in %s\n", folder_.c_str());
  }

  // Loads the list from the service; the token is taken before the request leaves.
  void refresh() {
    const int64_t token = orvel_sync_begin_refresh(journal_.get());
    Text url(orvel_build_mine_url(base_url_.c_str()));
    const Answer list = url ? http(timeout_ms_, "GET", url.get()) : Answer{};
    if (list.status / 100 == 2 && orvel_sync_load(journal_.get(), token, list.body.data(), list.body.size()) >= 0)
      save();
    else
      std::printf("the list could not be loaded (HTTP %ld): showing the saved one\n", list.status);
  }

  void show() const {
    Text text(orvel_export_json(store_.get()));
    Json doc = parse(text ? text.get() : "");
    std::printf("wishlist: %d entries\n", orvel_count(store_.get()));
    yyjson_val *entry;
    size_t i, n;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "items"), i, n, entry) {
      const std::string artist = member(entry, "artist");
      std::printf("  %s %s: %s%s\n", member(entry, "kind").c_str(), member(entry, "itemId").c_str(),
                  member(entry, "title").c_str(), artist.empty() ? "" : (", by " + artist).c_str());
    }
  }

  int64_t wish(const char *kind, const char *item_id, const char *title, const char *artist) {
    const int64_t op = orvel_sync_set(journal_.get(), 1, kind, item_id, title, artist);
    save();
    return op;
  }

  // 2xx: applied; 408, 429, 5xx or no answer: try again later; other 4xx: refused for good.
  static int32_t outcome_of(long status) {
    if (status / 100 == 2) return ORVEL_SYNC_ACCEPTED;
    if (status / 100 == 4 && status != 408 && status != 429) return ORVEL_SYNC_REJECTED;
    return ORVEL_SYNC_FAILED;
  }

  // The sync step: sends the oldest unsent change and reports what became of
  // it. Its outcome, or nothing when nothing was left to send.
  std::optional<int32_t> sync_one() {
    int64_t op = 0;
    SyncText request(orvel_sync_next_request(journal_.get(), base_url_.c_str(), &op));
    if (!request) return std::nullopt;
    Json envelope = parse(request.get());
    yyjson_val *root = yyjson_doc_get_root(envelope.get());
    const std::string content_type = member(root, "contentType"), body = member(root, "body");
    const Answer answer = http(timeout_ms_, member(root, "method"), member(root, "url"), &content_type, &body);
    const int32_t outcome = outcome_of(answer.status);
    orvel_sync_report(journal_.get(), op, outcome);
    return outcome;
  }

  // Sends every change, waiting longer after each failure (no hot loop while
  // the service is down); after kMaxTries failures the rest waits for a later run.
  void send_changes() {
    auto delay = std::chrono::milliseconds(200);
    int failures = 0;
    while (const auto outcome = sync_one()) {
      save();
      if (*outcome == ORVEL_SYNC_ACCEPTED) std::printf("sent: accepted\n");
      if (*outcome == ORVEL_SYNC_REJECTED) std::printf("sent: refused by the service\n");
      if (*outcome != ORVEL_SYNC_FAILED) continue;
      if (++failures == kMaxTries) {
        std::printf("sent: failed; %d changes kept for later\n", orvel_sync_count(journal_.get(), ORVEL_SYNC_UNSENT));
        return;
      }
      std::printf("sent: failed, trying again in %.1f s\n", static_cast<double>(delay.count()) / 1000);
      std::this_thread::sleep_for(delay);
      delay = std::min(delay * 2, std::chrono::milliseconds(5000));
    }
  }

  int32_t held() const { return orvel_sync_count(journal_.get(), ORVEL_SYNC_HELD); }

 private:
  std::string base_url_;
  fs::path folder_;
  long timeout_ms_;  // each request's deadline
  Store store_;  // declared before the journal, which borrows it, so released after it
  Journal journal_;
};

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc == 4 ? std::strtod(argv[3], nullptr) : 10;
  if (argc < 3 || argc > 4 || !(seconds > 0 && seconds < 3600)) {
    std::fprintf(stderr, "usage: wishlist BASE_URL FOLDER [TIMEOUT_SECONDS]\n");
    return 2;
  }
  if (orvel_abi_version() != ORVEL_ABI_VERSION || orvel_sync_abi_version() != ORVEL_SYNC_ABI_VERSION) return 1;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  {
    Wishlist wishes(argv[1], argv[2], static_cast<long>(seconds * 1000));
    if (!wishes) return 1;
    wishes.refresh();
    wishes.show();
    const int64_t op = wishes.wish("album", "al-42", "Blue Hour", "Ines Varga");
    if (op < 0) std::fprintf(stderr, "wishlist: %s\n", orvel_sync_last_error());
    std::printf("%s", op > 0 ? "wished album al-42\n" : op == 0 ? "album al-42 is wished already\n" : "");
    wishes.send_changes();
    wishes.refresh();
    wishes.show();
    std::printf("changes not yet confirmed: %d\n", wishes.held());
  }
  curl_global_cleanup();
  return 0;
}
