// SPDX-License-Identifier: MIT
/*
 * orvel.hpp: the C++ interface to liborvel and liborvel-sync, header-only,
 * C++17, over the two C headers (orvel.h, orvel_sync.h) and nothing else of
 * the libraries. CMake: target_link_libraries(app PRIVATE orvel::cxx), or
 * pkg-config orvel-cxx; the app links liborvel, liborvel-sync and yyjson
 * (which reads the export for iteration and the request envelopes).
 *
 *   orvel::Kind           track, album, artist, playlist; to_string, kind_from_string
 *   orvel::Wishlist       one store: load, has, toggle, size, entries, export_json,
 *                         Wishlist::mine_url, Wishlist::wish_request
 *   orvel::SyncedWishlist a store and its change journal, owned together: set_wished,
 *                         next_request, report, begin_refresh, load(token, ...), status,
 *                         the counts, snapshot / open_snapshot, save / restore, and the
 *                         store's reading (has, size, entries, export_json)
 *
 * Two forms of every call that can fail, side by side:
 *   - the throwing form, `int n = wishes.load(text);`, throws orvel::Error (a
 *     std::runtime_error) whose what() is the reason text;
 *   - the non-throwing form, `orvel::Result<int> n = wishes.try_load(text);`,
 *     gives the value or the reason (n.ok(), n.value(), n.reason()).
 * Built without exceptions (no __cpp_exceptions, or ORVEL_HPP_NO_EXCEPTIONS
 * defined, then for the whole program) only the non-throwing form exists;
 * Result::value() on a failure then aborts, so test ok() first. The try_ form
 * never throws (a std::string the header cannot allocate fails as "out of
 * memory").
 *
 * Reasons are the libraries' own texts (orvel_sync.h lists them; liborvel's
 * are a subset), plus the ones this header gives itself, in orvel::reason:
 * "embedded nul" (a text holding a NUL byte, which the C functions would cut
 * short), "invalid utf-8" (also for the liborvel calls, which would store or
 * send such a text), "out of memory", and the interface-version mismatches.
 *
 * Texts in are std::string_view, passed through byte for byte: responses and
 * saved texts with their exact length, never copied; kinds as static texts;
 * every other text (ids, titles, artists, base URLs) copied once into a
 * NUL-terminated buffer for the C call (on the stack up to 127 bytes, else
 * malloc'd; has() also takes a std::string or a C text, passed as it is, since
 * a copy costs more than a lookup). An empty view is "" (an empty base URL
 * selects the default);
 * titles and artists are OptionalText, where std::nullopt is the C NULL.
 * Texts out are the libraries' bytes, copied into std::string, the library's
 * text released with its own free function. Views into an Entries snapshot
 * stay valid while the snapshot lives.
 *
 * The first Wishlist or SyncedWishlist made checks the loaded libraries'
 * interface versions against ORVEL_ABI_VERSION and ORVEL_SYNC_ABI_VERSION
 * once; on a mismatch every creation fails with the reason naming the library.
 * Threads: as the C libraries; one object must not be used by two threads at
 * once, distinct objects are independent. A moved-from object holds nothing:
 * it reads as empty, and every call that would change it fails with "null arg".
 */
#ifndef ORVEL_HPP
#define ORVEL_HPP

#if __cplusplus < 201703L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 201703L)
#error "orvel.hpp needs C++17 or later"
#endif

#include <yyjson.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "orvel.h"
#include "orvel_sync.h"

#if defined(__cpp_exceptions) && !defined(ORVEL_HPP_NO_EXCEPTIONS)
#define ORVEL_HPP_EXCEPTIONS 1
#include <stdexcept>
#else
#define ORVEL_HPP_EXCEPTIONS 0
#endif

// The interface versions the header is written for; only a test overrides them.
#ifndef ORVEL_HPP_EXPECTED_ABI
#define ORVEL_HPP_EXPECTED_ABI ORVEL_ABI_VERSION
#endif
#ifndef ORVEL_HPP_EXPECTED_SYNC_ABI
#define ORVEL_HPP_EXPECTED_SYNC_ABI ORVEL_SYNC_ABI_VERSION
#endif

namespace orvel {

// ---- Reasons --------------------------------------------------------------------

// The reasons this header gives itself; every other reason is a library's text.
namespace reason {
inline constexpr std::string_view null_arg = "null arg";
inline constexpr std::string_view invalid_kind = "invalid kind";
inline constexpr std::string_view empty_item_id = "empty item_id";
inline constexpr std::string_view invalid_utf8 = "invalid utf-8";
inline constexpr std::string_view out_of_memory = "out of memory";
inline constexpr std::string_view embedded_nul = "embedded nul";
inline constexpr std::string_view abi_mismatch = "liborvel interface version mismatch";
inline constexpr std::string_view sync_abi_mismatch = "liborvel-sync interface version mismatch";
}  // namespace reason

#if ORVEL_HPP_EXCEPTIONS
// A failed call of the throwing form: what() is the reason text.
class Error : public std::runtime_error {
 public:
  explicit Error(std::string_view why) : std::runtime_error(std::string(why)) {}
  std::string_view reason() const noexcept { return what(); }
};
#endif

namespace detail {

// A reason copied out of the library's per-thread text (which the next call
// overwrites) into the result itself: a failure allocates nothing.
class Reason {
 public:
  Reason() noexcept { text_[0] = '\0'; }
  explicit Reason(std::string_view why) noexcept {
    const std::size_t n = why.size() < sizeof text_ - 1 ? why.size() : sizeof text_ - 1;
    if (n > 0) std::memcpy(text_, why.data(), n);
    text_[n] = '\0';
  }
  std::string_view view() const noexcept { return text_; }

 private:
  char text_[48];
};

// What a try_ call returns when it fails.
struct Failure {
  Reason why;
};
inline Failure fail(std::string_view why) noexcept { return Failure{Reason(why)}; }
inline Failure fail_orvel() noexcept { return fail(orvel_last_error()); }
inline Failure fail_sync() noexcept { return fail(orvel_sync_last_error()); }

[[noreturn]] inline void raise(std::string_view why) {
#if ORVEL_HPP_EXCEPTIONS
  throw Error(why);
#else
  (void)why;
  std::abort();
#endif
}

}  // namespace detail

// The value of a call, or the reason it failed. value() of a failure throws
// orvel::Error (aborts when built without exceptions).
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value is a success
  Result(detail::Failure failure) noexcept : reason_(failure.why) {}

  bool ok() const noexcept { return value_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }
  // "" on success.
  std::string_view reason() const noexcept { return reason_.view(); }

  T &value() & {
    check();
    return *value_;
  }
  const T &value() const & {
    check();
    return *value_;
  }
  T &&value() && {
    check();
    return std::move(*value_);
  }
  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }
  T &operator*() & { return value(); }
  const T &operator*() const & { return value(); }

 private:
  void check() const {
    if (!value_) detail::raise(reason());
  }
  std::optional<T> value_;
  detail::Reason reason_;
};

// ---- Versions ---------------------------------------------------------------------

inline std::string_view version() noexcept { return orvel_version(); }
inline int abi_version() noexcept { return orvel_abi_version(); }
inline std::string_view sync_version() noexcept { return orvel_sync_version(); }
inline int sync_abi_version() noexcept { return orvel_sync_abi_version(); }
// The library's built-in self-test: 0, or the first failing step (1 to 6).
inline int selftest() noexcept { return orvel_selftest(); }

// ---- Kinds ------------------------------------------------------------------------

enum class Kind { track, album, artist, playlist };

// A title or an artist: absent (std::nullopt, what the C functions take as
// NULL) is not the same as "" where the journal keeps them: a removal recorded
// with both known can show the entry again when the service refuses it.
using OptionalText = std::optional<std::string_view>;

namespace detail {

inline constexpr const char *kKindTexts[] = {"track", "album", "artist", "playlist"};

// The kind's static NUL-terminated text, or nullptr for a value out of range.
constexpr const char *kind_text(Kind kind) noexcept {
  const auto i = static_cast<std::size_t>(kind);
  return i < std::size(kKindTexts) ? kKindTexts[i] : nullptr;
}

// True when text is valid UTF-8 (no overlong forms, surrogates or code points
// past U+10FFFF), as the libraries require of every text they write.
constexpr bool is_utf8(std::string_view text) noexcept {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < lo || second > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if (next < 0x80 || next > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

// A NUL-terminated copy of a view for a C call: on the stack when short,
// malloc'd otherwise. failed() names why it could not be made.
class CText {
 public:
  explicit CText(std::string_view text) noexcept {
    const std::size_t n = text.size();
    if (n > 0 && std::memchr(text.data(), '\0', n) != nullptr) {  // a default view's data() is null
      failed_ = reason::embedded_nul;
      return;
    }
    char *to = small_;
    if (n >= sizeof small_) {
      heap_ = static_cast<char *>(std::malloc(n + 1));
      if (heap_ == nullptr) {
        failed_ = reason::out_of_memory;
        return;
      }
      to = heap_;
    }
    if (n > 0) std::memcpy(to, text.data(), n);
    to[n] = '\0';
    text_ = to;
  }
  // An absent text stays absent: get() is nullptr, and nothing failed.
  explicit CText(std::optional<std::string_view> text) noexcept : CText(text.value_or(std::string_view())) {
    if (!text) text_ = nullptr;
  }
  ~CText() {
    if (heap_ != nullptr) std::free(heap_);
  }
  CText(const CText &) = delete;
  CText &operator=(const CText &) = delete;

  const char *get() const noexcept { return text_; }
  // Empty when the copy was made.
  std::string_view failed() const noexcept { return failed_; }

 private:
  char small_[128];
  char *heap_ = nullptr;
  const char *text_ = nullptr;
  std::string_view failed_;
};

// A text the library returned, released with its own free function (named
// in a functor: a DLL-imported function's address is no template argument).
struct FreeOrvel {
  void operator()(void *text) const noexcept { orvel_free(text); }
};
struct FreeSync {
  void operator()(void *text) const noexcept { orvel_sync_free(text); }
};
template <class Free>
class Owned {
 public:
  explicit Owned(char *text) noexcept : text_(text) {}
  ~Owned() { Free()(text_); }
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  const char *get() const noexcept { return text_; }

 private:
  char *text_;
};
using OrvelText = Owned<FreeOrvel>;
using SyncText = Owned<FreeSync>;

// The returned text as a std::string; "out of memory" when the copy cannot be made.
template <class Text>
Result<std::string> copy_out(const Text &text) noexcept {
#if ORVEL_HPP_EXCEPTIONS
  try {
    return std::string(text.get());
  } catch (const std::bad_alloc &) {
    return fail(reason::out_of_memory);
  }
#else
  return std::string(text.get());
#endif
}

// A response's pointer and length for a C load: an empty view becomes "" (a
// length of 0 would mean "up to the first NUL").
inline const char *response_data(std::string_view text) noexcept { return text.empty() ? "" : text.data(); }

// A JSON string member as a view, its length exact (it may hold an escaped NUL).
inline std::string_view string_of(yyjson_val *value) noexcept {
  const char *text = yyjson_get_str(value);
  return text != nullptr ? std::string_view(text, yyjson_get_len(value)) : std::string_view();
}

// The interface versions of the libraries loaded, checked once per process.
inline std::string_view abi_failure() noexcept {
  static const bool matches = orvel_abi_version() == ORVEL_HPP_EXPECTED_ABI;
  return matches ? std::string_view() : reason::abi_mismatch;
}
inline std::string_view sync_abi_failure() noexcept {
  static const bool matches = orvel_sync_abi_version() == ORVEL_HPP_EXPECTED_SYNC_ABI;
  return matches ? std::string_view() : reason::sync_abi_mismatch;
}

}  // namespace detail

// The kind's text ("track", ...); "" for a value that is not a Kind.
constexpr std::string_view to_string(Kind kind) noexcept {
  const char *text = detail::kind_text(kind);
  return text != nullptr ? std::string_view(text) : std::string_view();
}

// The kind named exactly (case-sensitive) by text; "invalid kind" otherwise.
inline Result<Kind> try_kind_from_string(std::string_view text) noexcept {
  for (std::size_t i = 0; i < std::size(detail::kKindTexts); ++i) {
    if (text == detail::kKindTexts[i]) return static_cast<Kind>(i);
  }
  return detail::fail(reason::invalid_kind);
}
#if ORVEL_HPP_EXCEPTIONS
inline Kind kind_from_string(std::string_view text) { return try_kind_from_string(text).value(); }
#endif

// ---- Requests ---------------------------------------------------------------------

// The POST that adds or removes one wish: send body to url with method and a
// Content-Type of content_type. json is the library's envelope, byte for byte.
struct WishRequest {
  std::string method;
  std::string url;
  std::string content_type;
  std::string body;
  std::string json;
};

// A journal's request, in flight until report(op_id, ...) says what became of it.
struct PendingRequest : WishRequest {
  std::int64_t op_id = 0;
  Kind kind = Kind::track;
  std::string item_id;
  bool wished = false;  // the request adds the entry (true) or removes it
};

namespace detail {

// Parses the library's envelope, and for a journal's request its body too.
// Fails only when memory runs out: the library writes nothing else.
inline bool parse_envelope(const char *text, WishRequest &request, PendingRequest *pending) noexcept {
  yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
  yyjson_doc *body = nullptr;
  bool ok = doc != nullptr;
#if ORVEL_HPP_EXCEPTIONS
  try {
#endif
    if (ok) {
      yyjson_val *root = yyjson_doc_get_root(doc);
      request.method = string_of(yyjson_obj_get(root, "method"));
      request.url = string_of(yyjson_obj_get(root, "url"));
      request.content_type = string_of(yyjson_obj_get(root, "contentType"));
      request.body = string_of(yyjson_obj_get(root, "body"));
      request.json = text;
    }
    if (ok && pending != nullptr) {
      body = yyjson_read(pending->body.data(), pending->body.size(), 0);
      yyjson_val *op = yyjson_doc_get_root(body);
      const Result<Kind> kind = try_kind_from_string(string_of(yyjson_obj_get(op, "kind")));
      ok = body != nullptr && kind.ok();
      if (ok) {
        pending->kind = *kind;
        pending->item_id = string_of(yyjson_obj_get(op, "itemId"));
        pending->wished = string_of(yyjson_obj_get(op, "op")) == "add";
      }
    }
#if ORVEL_HPP_EXCEPTIONS
  } catch (const std::bad_alloc &) {
    ok = false;
  }
#endif
  yyjson_doc_free(body);
  yyjson_doc_free(doc);
  return ok;
}

}  // namespace detail

// ---- Reading a store --------------------------------------------------------------

// One entry of a store; the views point into the Entries snapshot it came from.
struct Entry {
  Kind kind;
  std::string_view item_id;
  std::string_view title;
  std::string_view artist;
};

// The store's entries as they were when entries() was called, in store order,
// read from its export. Move-only; its Entry views live as long as it does.
class Entries {
 public:
  class iterator {
   public:
    // Multi-pass, but each step makes its Entry: an input iterator by the standard.
    using iterator_category = std::input_iterator_tag;
    using value_type = Entry;
    using difference_type = std::ptrdiff_t;
    // it->item_id: the entry is made on each access, so -> gives it in a holder.
    struct pointer {
      Entry entry;
      const Entry *operator->() const noexcept { return &entry; }
    };
    using reference = Entry;

    iterator() noexcept = default;
    Entry operator*() const noexcept {
      Entry entry{Kind::track, {}, {}, {}};
      std::size_t idx = 0, max = 0;
      yyjson_val *key = nullptr, *value = nullptr;
      yyjson_obj_foreach(item_, idx, max, key, value) {
        const std::string_view name = detail::string_of(key);
        const std::string_view text = detail::string_of(value);
        if (name == "kind") {
          entry.kind = kind_of(text);
        } else if (name == "itemId") {
          entry.item_id = text;
        } else if (name == "title") {
          entry.title = text;
        } else if (name == "artist") {
          entry.artist = text;
        }
      }
      return entry;
    }
    pointer operator->() const noexcept { return pointer{**this}; }
    iterator &operator++() noexcept {
      item_ = --left_ > 0 ? unsafe_yyjson_get_next(item_) : nullptr;
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const iterator &a, const iterator &b) noexcept { return a.item_ == b.item_; }
    friend bool operator!=(const iterator &a, const iterator &b) noexcept { return a.item_ != b.item_; }

   private:
    friend class Entries;
    iterator(yyjson_val *first, std::size_t count) noexcept : item_(count > 0 ? first : nullptr), left_(count) {}
    // The export writes only the four kinds.
    static Kind kind_of(std::string_view text) noexcept {
      if (text.empty() || text[0] == 't') return Kind::track;
      if (text[0] == 'p') return Kind::playlist;
      return text.size() == 5 ? Kind::album : Kind::artist;
    }
    yyjson_val *item_ = nullptr;
    std::size_t left_ = 0;
  };
  using const_iterator = iterator;

  Entries(Entries &&other) noexcept
      : doc_(std::exchange(other.doc_, nullptr)), items_(std::exchange(other.items_, nullptr)) {}
  Entries &operator=(Entries &&other) noexcept {
    if (this != &other) {
      yyjson_doc_free(doc_);
      doc_ = std::exchange(other.doc_, nullptr);
      items_ = std::exchange(other.items_, nullptr);
    }
    return *this;
  }
  Entries(const Entries &) = delete;
  Entries &operator=(const Entries &) = delete;
  ~Entries() { yyjson_doc_free(doc_); }

  iterator begin() const noexcept { return iterator(yyjson_arr_get_first(items_), size()); }
  iterator end() const noexcept { return iterator(); }
  std::size_t size() const noexcept { return yyjson_arr_size(items_); }
  bool empty() const noexcept { return size() == 0; }

 private:
  friend class StoreView;
  Entries(yyjson_doc *doc) noexcept
      : doc_(doc), items_(yyjson_obj_get(yyjson_doc_get_root(doc), "items")) {}
  yyjson_doc *doc_;
  yyjson_val *items_;
};

// What Wishlist and SyncedWishlist share: an owned store, read.
class StoreView {
 public:
  StoreView(const StoreView &) = delete;
  StoreView &operator=(const StoreView &) = delete;

  // True when (kind, item_id) is in the store. False for a moved-from object,
  // a kind out of range, and an id holding a NUL (no entry can have one).
  // A std::string or a C text is passed as it is; a view is copied first
  // (which costs more than the lookup of a small store).
  bool has(Kind kind, std::string_view item_id) const noexcept {
    const detail::CText id(item_id);
    return orvel_is_wished(store_, detail::kind_text(kind), id.get()) == 1;
  }
  bool has(Kind kind, const std::string &item_id) const noexcept {
    return std::memchr(item_id.data(), '\0', item_id.size()) == nullptr &&
           orvel_is_wished(store_, detail::kind_text(kind), item_id.c_str()) == 1;
  }
  bool has(Kind kind, const char *item_id) const noexcept {
    return orvel_is_wished(store_, detail::kind_text(kind), item_id) == 1;
  }
  // The number of entries (0 for a moved-from object).
  std::size_t size() const noexcept { return static_cast<std::size_t>(orvel_count(store_)); }
  bool empty() const noexcept { return size() == 0; }
  // The C store, for reading it with orvel.h's functions (nullptr when moved from).
  const orvel_store *native_handle() const noexcept { return store_; }

  // The whole store as liborvel's JSON text: {"total":N,"items":[...]}.
  Result<std::string> try_export_json() const noexcept {
    const detail::OrvelText text(orvel_export_json(store_));
    if (text.get() == nullptr) return fail_export();
    return detail::copy_out(text);
  }
  // A snapshot of the entries to iterate over: `for (orvel::Entry e : wishes.entries())`.
  // Costs one export and one parse of it.
  Result<Entries> try_entries() const noexcept {
    const detail::OrvelText text(orvel_export_json(store_));
    if (text.get() == nullptr) return fail_export();
    yyjson_doc *doc = yyjson_read(text.get(), std::strlen(text.get()), 0);
    if (doc == nullptr) return detail::fail(reason::out_of_memory);
    return Entries(doc);
  }
#if ORVEL_HPP_EXCEPTIONS
  std::string export_json() const { return try_export_json().value(); }
  Entries entries() const { return try_entries().value(); }
#endif

 protected:
  explicit StoreView(orvel_store *store) noexcept : store_(store) {}
  StoreView(StoreView &&other) noexcept : store_(std::exchange(other.store_, nullptr)) {}
  ~StoreView() = default;

  // An export fails for no store, or when memory runs out (a store holds only
  // UTF-8: the wrappers refuse anything else).
  detail::Failure fail_export() const noexcept {
    return detail::fail(store_ == nullptr ? reason::null_arg : reason::out_of_memory);
  }

  orvel_store *store_;
};

// ---- Wishlist ---------------------------------------------------------------------

// One user's wishlist store. Move-only: export_json() and load() carry its content.
class Wishlist : public StoreView {
 public:
#if ORVEL_HPP_EXCEPTIONS
  // A new empty store.
  Wishlist() : Wishlist(try_create().value()) {}
#endif
  static Result<Wishlist> try_create() noexcept {
    if (const std::string_view abi = detail::abi_failure(); !abi.empty()) return detail::fail(abi);
    orvel_store *store = orvel_create();
    if (store == nullptr) return detail::fail(reason::out_of_memory);
    return Wishlist(store);
  }

  Wishlist(Wishlist &&other) noexcept = default;
  Wishlist &operator=(Wishlist &&other) noexcept {
    if (this != &other) {
      orvel_destroy(store_);
      store_ = std::exchange(other.store_, nullptr);
    }
    return *this;
  }
  ~Wishlist() { orvel_destroy(store_); }

  // Replaces the content with a list response (or an export); the entry count.
  // All or nothing: "invalid json" (or "null arg"), the content then unchanged.
  Result<int> try_load(std::string_view response) noexcept {
    const std::int32_t count = orvel_load_mine_json(store_, detail::response_data(response), response.size());
    if (count < 0) return detail::fail_orvel();
    return static_cast<int>(count);
  }

  // Adds the entry (true) or removes it (false). Title and artist are kept for
  // display (ignored on removal). Fails, the store unchanged, with "invalid
  // kind", "empty item_id", "embedded nul", "invalid utf-8" (liborvel would
  // keep such a text and then never export the store), "null arg" or "out of
  // memory" (also when the store is full).
  Result<bool> try_toggle(Kind kind, std::string_view item_id, OptionalText title = std::nullopt,
                          OptionalText artist = std::nullopt) noexcept {
    const char *kind_text = detail::kind_text(kind);
    if (kind_text == nullptr) return detail::fail(reason::invalid_kind);
    if (item_id.empty()) return detail::fail(reason::empty_item_id);
    const detail::CText id(item_id), t(title), a(artist);
    for (const detail::CText *text : {&id, &t, &a}) {
      if (!text->failed().empty()) return detail::fail(text->failed());
    }
    if (!detail::is_utf8(item_id) || !detail::is_utf8(title.value_or("")) || !detail::is_utf8(artist.value_or(""))) {
      return detail::fail(reason::invalid_utf8);
    }
    const std::int32_t result = orvel_apply_local_toggle(store_, kind_text, id.get(), t.get(), a.get());
    if (result < 0) return detail::fail(store_ == nullptr ? reason::null_arg : reason::out_of_memory);
    return result == 1;
  }

  // The URL that lists the user's wishes; an empty base selects the built-in default.
  // "embedded nul", "invalid utf-8" or "out of memory".
  static Result<std::string> try_mine_url(std::string_view base_url = {}) noexcept {
    const detail::CText base(base_url);
    if (!base.failed().empty()) return detail::fail(base.failed());
    if (!detail::is_utf8(base_url)) return detail::fail(reason::invalid_utf8);
    const detail::OrvelText url(orvel_build_mine_url(base.get()));
    if (url.get() == nullptr) return detail::fail(reason::out_of_memory);
    return detail::copy_out(url);
  }

  // The POST that adds (add true) or removes one wish. "invalid kind", "empty
  // item_id", "embedded nul", "invalid utf-8" or "out of memory".
  static Result<WishRequest> try_wish_request(bool add, Kind kind, std::string_view item_id,
                                              OptionalText title = std::nullopt, OptionalText artist = std::nullopt,
                                              std::string_view base_url = {}) noexcept {
    const char *kind_text = detail::kind_text(kind);
    if (kind_text == nullptr) return detail::fail(reason::invalid_kind);
    if (item_id.empty()) return detail::fail(reason::empty_item_id);
    const detail::CText id(item_id), t(title), a(artist), base(base_url);
    for (const detail::CText *text : {&id, &t, &a, &base}) {
      if (!text->failed().empty()) return detail::fail(text->failed());
    }
    // liborvel's error text is not read: it may be an earlier call's.
    const detail::OrvelText json(
        orvel_build_wish_request_json(base.get(), add ? 1 : 0, kind_text, id.get(), t.get(), a.get()));
    if (json.get() == nullptr) {
      for (std::string_view text : {item_id, title.value_or(""), artist.value_or(""), base_url}) {
        if (!detail::is_utf8(text)) return detail::fail(reason::invalid_utf8);
      }
      return detail::fail(reason::out_of_memory);
    }
    return envelope(json.get());
  }

#if ORVEL_HPP_EXCEPTIONS
  int load(std::string_view response) { return try_load(response).value(); }
  bool toggle(Kind kind, std::string_view item_id, OptionalText title = std::nullopt, OptionalText artist = std::nullopt) {
    return try_toggle(kind, item_id, title, artist).value();
  }
  static std::string mine_url(std::string_view base_url = {}) { return try_mine_url(base_url).value(); }
  static WishRequest wish_request(bool add, Kind kind, std::string_view item_id, OptionalText title = std::nullopt,
                                  OptionalText artist = std::nullopt, std::string_view base_url = {}) {
    return try_wish_request(add, kind, item_id, title, artist, base_url).value();
  }
#endif

 private:
  explicit Wishlist(orvel_store *store) noexcept : StoreView(store) {}

  static Result<WishRequest> envelope(const char *json) noexcept {
    WishRequest request;
    if (!detail::parse_envelope(json, request, nullptr)) return detail::fail(reason::out_of_memory);
    return Result<WishRequest>(std::move(request));
  }
};

// ---- SyncedWishlist ---------------------------------------------------------------

// What became of a request (report's outcome); see orvel_sync.h's transport rule.
enum class Outcome {
  accepted = ORVEL_SYNC_ACCEPTED,  // the service applied it (2xx)
  rejected = ORVEL_SYNC_REJECTED,  // refused for good (4xx): the store is put back
  failed = ORVEL_SYNC_FAILED,      // certainly did not reach the service, or "try again"
  unknown = ORVEL_SYNC_UNKNOWN,    // may have reached it: a deadline passed after writing it
};

// What a report did to the store.
enum class StoreChange {
  unchanged = ORVEL_SYNC_STORE_UNCHANGED,
  removed = ORVEL_SYNC_STORE_REMOVED,  // a refused addition left the store
  shown = ORVEL_SYNC_STORE_SHOWN,      // a refused removal is shown again
};

// An entry's state in the journal.
enum class EntryState {
  synced = ORVEL_SYNC_SYNCED,          // nothing held: the store shows the service's state
  unsent = ORVEL_SYNC_UNSENT,          // its newest operation waits to be sent
  in_flight = ORVEL_SYNC_IN_FLIGHT,    // ... has been handed out by next_request
  confirming = ORVEL_SYNC_CONFIRMING,  // ... was accepted, until a later refresh shows it
  uncertain = ORVEL_SYNC_UNCERTAIN,    // nothing held, but a request reported unknown may land
};

struct EntryStatus {
  EntryState state = EntryState::synced;
  std::optional<bool> wished;  // the user's newest intent; none when synced
  std::int64_t op_id = 0;      // the newest operation held, 0 when none is
  std::uint32_t attempts = 0;  // how often its request was handed out
  std::uint32_t uncertain = 0; // requests reported unknown that may still land
};

// A store and its change journal, owned together: every change is kept until
// the service has confirmed it, through refreshes, failed requests and
// restarts. Changed only through set_wished and load(token, response); read as
// a Wishlist. Move-only: save() / restore() or snapshot() / open_snapshot()
// carry it.
class SyncedWishlist : public StoreView {
 public:
#if ORVEL_HPP_EXCEPTIONS
  // A new empty store and journal.
  SyncedWishlist() : SyncedWishlist(try_create().value()) {}
#endif
  static Result<SyncedWishlist> try_create() noexcept {
    if (const std::string_view abi = abi_failure(); !abi.empty()) return detail::fail(abi);
    orvel_store *store = orvel_create();
    if (store == nullptr) return detail::fail(reason::out_of_memory);
    orvel_journal *journal = orvel_sync_create(store);
    if (journal == nullptr) {
      orvel_destroy(store);
      return detail::fail(reason::out_of_memory);
    }
    return SyncedWishlist(store, journal);
  }

  // From what save() and export_json() gave before a restart: the store loaded
  // from store_text (empty without one), then the journal restored over it.
  // "invalid json", "invalid journal", "unsupported version" (either text).
  static Result<SyncedWishlist> try_restore(std::string_view journal_text,
                                            std::optional<std::string_view> store_text = std::nullopt) noexcept {
    Result<SyncedWishlist> made = try_create();
    if (!made) return made;
    SyncedWishlist &wishes = *made;
    if (store_text &&
        orvel_load_mine_json(wishes.store_, detail::response_data(*store_text), store_text->size()) < 0) {
      return detail::fail_orvel();
    }
    if (orvel_sync_restore(wishes.journal_, detail::response_data(journal_text), journal_text.size()) < 0) {
      return detail::fail_sync();
    }
    return made;
  }

  // From one snapshot() text. "invalid json", "invalid snapshot", "invalid
  // journal", "unsupported version" or "out of memory".
  static Result<SyncedWishlist> try_open_snapshot(std::string_view text) noexcept {
    if (const std::string_view abi = abi_failure(); !abi.empty()) return detail::fail(abi);
    orvel_store *store = nullptr;
    orvel_journal *journal = orvel_sync_open_snapshot(detail::response_data(text), text.size(), &store);
    if (journal == nullptr) return detail::fail_sync();
    return SyncedWishlist(store, journal);
  }

  SyncedWishlist(SyncedWishlist &&other) noexcept
      : StoreView(std::move(other)), journal_(std::exchange(other.journal_, nullptr)) {}
  SyncedWishlist &operator=(SyncedWishlist &&other) noexcept {
    if (this != &other) {
      release();
      store_ = std::exchange(other.store_, nullptr);
      journal_ = std::exchange(other.journal_, nullptr);
    }
    return *this;
  }
  ~SyncedWishlist() { release(); }

  // Records that (kind, item_id) be wished or not and shows it at once. The new
  // operation's id, or 0 when nothing needs sending. For a removal, title and
  // artist let a refused removal show the entry again. "invalid kind",
  // "empty item_id", "embedded nul", "invalid utf-8", "null arg", "out of memory".
  Result<std::int64_t> try_set_wished(Kind kind, std::string_view item_id, bool wished,
                                      OptionalText title = std::nullopt, OptionalText artist = std::nullopt) noexcept {
    const char *kind_text = detail::kind_text(kind);
    if (kind_text == nullptr) return detail::fail(reason::invalid_kind);
    const detail::CText id(item_id), t(title), a(artist);
    for (const detail::CText *text : {&id, &t, &a}) {
      if (!text->failed().empty()) return detail::fail(text->failed());
    }
    const std::int64_t op = orvel_sync_set(journal_, wished ? 1 : 0, kind_text, id.get(), t.get(), a.get());
    if (op < 0) return detail::fail_sync();
    return op;
  }

  // The request of the oldest unsent change, now in flight; none when nothing
  // can be sent. An empty base selects the default. Report its outcome once it
  // is settled. "embedded nul", "invalid utf-8", "null arg", "out of memory".
  Result<std::optional<PendingRequest>> try_next_request(std::string_view base_url = {}) noexcept {
    const detail::CText base(base_url);
    if (!base.failed().empty()) return detail::fail(base.failed());
    std::int64_t op = 0;
    const detail::SyncText json(orvel_sync_next_request(journal_, base.get(), &op));
    if (json.get() == nullptr) {
      if (*orvel_sync_last_error() != '\0') return detail::fail_sync();
      return std::optional<PendingRequest>();
    }
    std::optional<PendingRequest> request(std::in_place);
    request->op_id = op;
    if (!detail::parse_envelope(json.get(), *request, &*request)) {
      // Never sent: unsent again, rather than in flight under an id the app never saw.
      orvel_sync_report(journal_, op, ORVEL_SYNC_FAILED);
      return detail::fail(reason::out_of_memory);
    }
    return request;
  }

  // What became of the request of operation op_id, and what that did to the
  // store. "unknown operation" (not in flight), "invalid argument" (outcome),
  // "null arg", "out of memory".
  Result<StoreChange> try_report(std::int64_t op_id, Outcome outcome) noexcept {
    std::int32_t change = ORVEL_SYNC_STORE_UNCHANGED;
    if (orvel_sync_report_outcome(journal_, op_id, static_cast<std::int32_t>(outcome), &change) < 0) {
      return detail::fail_sync();
    }
    return static_cast<StoreChange>(change);
  }

  // A token for the list fetch about to start: take it before the request leaves.
  Result<std::int64_t> try_begin_refresh() noexcept {
    const std::int64_t token = orvel_sync_begin_refresh(journal_);
    if (token < 0) return detail::fail_sync();
    return token;
  }

  // Loads the list response of the fetch token was taken for, then shows again
  // every change it may not reflect. The entry count, or none when a response
  // fetched later has been loaded already (this one is ignored). "unknown
  // token", "invalid json", "null arg", "out of memory", nothing changed.
  Result<std::optional<int>> try_load(std::int64_t token, std::string_view response) noexcept {
    const std::int32_t count =
        orvel_sync_load(journal_, token, detail::response_data(response), response.size());
    if (count == ORVEL_SYNC_STALE) return std::optional<int>();
    if (count < 0) return detail::fail_sync();
    return std::optional<int>(count);
  }

  // The journal's state for (kind, item_id). "invalid kind", "empty item_id",
  // "embedded nul", "null arg".
  Result<EntryStatus> try_status(Kind kind, std::string_view item_id) const noexcept {
    const char *kind_text = detail::kind_text(kind);
    if (kind_text == nullptr) return detail::fail(reason::invalid_kind);
    const detail::CText id(item_id);
    if (!id.failed().empty()) return detail::fail(id.failed());
    orvel_sync_entry entry{};
    if (orvel_sync_entry_status(journal_, kind_text, id.get(), &entry) < 0) return detail::fail_sync();
    EntryStatus status;
    status.state = static_cast<EntryState>(entry.state);
    if (entry.wished >= 0) status.wished = entry.wished == 1;
    status.op_id = entry.op_id;
    status.attempts = entry.attempts;
    status.uncertain = entry.uncertain;
    return status;
  }

  // The journal as a JSON text, for restore(); save it with export_json() after each change.
  Result<std::string> try_save() const noexcept {
    const detail::SyncText text(orvel_sync_export(journal_));
    if (text.get() == nullptr) return detail::fail_sync();
    return detail::copy_out(text);
  }

  // The store and the journal in one text, for one atomic write; open_snapshot() reads it.
  Result<std::string> try_snapshot() const noexcept {
    const detail::SyncText text(orvel_sync_snapshot(journal_));
    if (text.get() == nullptr) return detail::fail_sync();
    return detail::copy_out(text);
  }

  // Changes held (not yet confirmed), waiting to be sent, in flight, accepted
  // and awaiting a refresh; and entries a request reported unknown may still
  // land on. 0 for a moved-from object.
  int held() const noexcept { return count(ORVEL_SYNC_HELD); }
  int unsent() const noexcept { return count(ORVEL_SYNC_UNSENT); }
  int in_flight() const noexcept { return count(ORVEL_SYNC_IN_FLIGHT); }
  int confirming() const noexcept { return count(ORVEL_SYNC_CONFIRMING); }
  int uncertain() const noexcept { return count(ORVEL_SYNC_UNCERTAIN); }

#if ORVEL_HPP_EXCEPTIONS
  static SyncedWishlist restore(std::string_view journal_text,
                                std::optional<std::string_view> store_text = std::nullopt) {
    return try_restore(journal_text, store_text).value();
  }
  static SyncedWishlist open_snapshot(std::string_view text) { return try_open_snapshot(text).value(); }
  std::int64_t set_wished(Kind kind, std::string_view item_id, bool wished, OptionalText title = std::nullopt,
                          OptionalText artist = std::nullopt) {
    return try_set_wished(kind, item_id, wished, title, artist).value();
  }
  std::optional<PendingRequest> next_request(std::string_view base_url = {}) {
    return try_next_request(base_url).value();
  }
  StoreChange report(std::int64_t op_id, Outcome outcome) { return try_report(op_id, outcome).value(); }
  std::int64_t begin_refresh() { return try_begin_refresh().value(); }
  std::optional<int> load(std::int64_t token, std::string_view response) {
    return try_load(token, response).value();
  }
  EntryStatus status(Kind kind, std::string_view item_id) const { return try_status(kind, item_id).value(); }
  std::string save() const { return try_save().value(); }
  std::string snapshot() const { return try_snapshot().value(); }
#endif

 private:
  SyncedWishlist(orvel_store *store, orvel_journal *journal) noexcept : StoreView(store), journal_(journal) {}

  static std::string_view abi_failure() noexcept {
    const std::string_view core = detail::abi_failure();
    return core.empty() ? detail::sync_abi_failure() : core;
  }
  int count(std::int32_t which) const noexcept {
    const std::int32_t n = orvel_sync_count(journal_, which);
    return n < 0 ? 0 : static_cast<int>(n);
  }
  // The journal first: it borrows the store.
  void release() noexcept {
    orvel_sync_destroy(std::exchange(journal_, nullptr));
    orvel_destroy(std::exchange(store_, nullptr));
  }

  orvel_journal *journal_;
};

}  // namespace orvel

#endif  // ORVEL_HPP
