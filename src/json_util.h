// SPDX-License-Identifier: MIT
// RAII guards for yyjson documents and malloc'd texts, and the one compact
// writer every message module uses.
#pragma once

#include <yyjson.h>

#include <cstdlib>

static_assert(YYJSON_VERSION_MAJOR == 0 && YYJSON_VERSION_MINOR == 12,
              "liborvel needs yyjson 0.12: run scripts/install-deps");

namespace orvel {

// Owns a parsed (immutable) document.
class Doc {
 public:
  explicit Doc(yyjson_doc *doc) noexcept : doc_(doc) {}
  ~Doc() { yyjson_doc_free(doc_); }
  Doc(const Doc &) = delete;
  Doc &operator=(const Doc &) = delete;
  yyjson_doc *get() const noexcept { return doc_; }

 private:
  yyjson_doc *doc_;
};

// Owns a document under construction, created with the default allocator.
class MutDoc {
 public:
  MutDoc() noexcept : doc_(yyjson_mut_doc_new(nullptr)) {}
  ~MutDoc() { yyjson_mut_doc_free(doc_); }
  MutDoc(const MutDoc &) = delete;
  MutDoc &operator=(const MutDoc &) = delete;
  yyjson_mut_doc *get() const noexcept { return doc_; }

  // yyjson takes a null document or value anywhere and then yields null or
  // false, so a failed step needs no test of its own: it makes every later
  // addition, and the write, fail too.

  // A new empty object made the root, or null when memory is short.
  yyjson_mut_val *new_root_object() noexcept {
    yyjson_mut_val *root = yyjson_mut_obj(doc_);
    yyjson_mut_doc_set_root(doc_, root);
    return root;
  }

  // The document as compact JSON (writer's default flags), malloc'd; null
  // when memory is short, there is no root, or a text is not valid UTF-8.
  char *write() const noexcept { return yyjson_mut_write_opts(doc_, 0, nullptr, nullptr, nullptr); }

 private:
  yyjson_mut_doc *doc_;
};

// Owns a malloc'd text until release() hands it on.
class Text {
 public:
  explicit Text(char *text = nullptr) noexcept : text_(text) {}
  ~Text() { std::free(text_); }
  Text(const Text &) = delete;
  Text &operator=(const Text &) = delete;
  char *get() const noexcept { return text_; }
  char *release() noexcept {
    char *t = text_;
    text_ = nullptr;
    return t;
  }

 private:
  char *text_;
};

}  // namespace orvel
