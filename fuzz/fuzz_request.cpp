// SPDX-License-Identifier: MIT
// Fuzzes the URL and request builders with arbitrary texts split from the
// input at NUL bytes: the first byte picks the add flag, then base URL, kind,
// item id, title and artist (a missing piece is passed as absent). Every
// envelope must parse back into exactly the values given; every absent result
// must be explained by a bad kind, an empty id, or a text that is not UTF-8.
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "orvel.h"

namespace {

using fuzz::check;

// RFC 3629: no overlongs, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const std::string &s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { n = 1; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { n = 2; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 3; cp = c & 0x07; }
    else return false;
    if (i + n >= s.size()) return false;  // truncated sequence
    for (std::size_t k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

std::string joined(const std::optional<std::string> &base, const char *path) {
  std::string b = base && !base->empty() ? *base : std::string(ORVEL_FUZZ_DEFAULT_BASE_URL);
  while (!b.empty() && b.back() == '/') b.pop_back();
  return b + path;
}

std::string member(yyjson_val *obj, const char *name) {
  yyjson_val *v = yyjson_obj_get(obj, name);
  check(yyjson_is_str(v), "member is a string");
  return std::string(yyjson_get_str(v), yyjson_get_len(v));
}

const char *c(const std::optional<std::string> &s) { return s ? s->c_str() : nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  const auto add = static_cast<int32_t>(static_cast<int8_t>(data[0]));
  std::vector<std::optional<std::string>> parts(5);
  std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
  for (std::size_t i = 0; i < parts.size() && !rest.empty(); ++i) {
    const std::size_t nul = rest.find('\0');
    parts[i] = rest.substr(0, nul);
    rest = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
  }
  const auto &base = parts[0];
  const auto &kind = parts[1];
  const auto &id = parts[2];
  const auto &title = parts[3];
  const auto &artist = parts[4];

  char *url = orvel_build_mine_url(c(base));
  check(url != nullptr && joined(base, "/wishlist/api/mine") == url, "mine url joins");
  orvel_free(url);

  char *text = orvel_build_wish_request_json(c(base), add, c(kind), c(id), c(title), c(artist));
  const std::string error = orvel_last_error();
  if (orvel_validate_kind(c(kind)) != 0) {
    check(text == nullptr && error == "invalid kind", "bad kind reported");
    return 0;
  }
  if (!id || id->empty()) {
    check(text == nullptr && error == "empty item_id", "empty id reported");
    return 0;
  }
  check(error.empty(), "past the checks the error text is empty");
  const bool all_utf8 = (!base || valid_utf8(*base)) && valid_utf8(*id) &&
                        (!title || valid_utf8(*title)) && (!artist || valid_utf8(*artist));
  check((text != nullptr) == all_utf8, "absent exactly when a text is not UTF-8");
  if (text == nullptr) return 0;

  yyjson_doc *env = yyjson_read(text, std::strlen(text), 0);
  check(env != nullptr, "envelope parses");
  yyjson_val *root = yyjson_doc_get_root(env);
  check(yyjson_obj_size(root) == 4, "four envelope members");
  check(member(root, "method") == "POST", "method");
  check(member(root, "url") == joined(base, "/wishlist/api/wish"), "url");
  check(member(root, "contentType") == "application/json", "content type");
  const std::string body_text = member(root, "body");
  yyjson_doc *body = yyjson_read(body_text.data(), body_text.size(), 0);
  check(body != nullptr, "body parses");
  yyjson_val *b = yyjson_doc_get_root(body);
  check(yyjson_obj_size(b) == 5, "five body members");
  check(member(b, "op") == (add != 0 ? "add" : "remove"), "op");
  check(member(b, "kind") == *kind, "kind");
  check(member(b, "itemId") == *id, "itemId");
  check(member(b, "title") == (title ? *title : ""), "title");
  check(member(b, "artist") == (artist ? *artist : ""), "artist");
  yyjson_doc_free(body);
  yyjson_doc_free(env);
  orvel_free(text);
  return 0;
}
