// SPDX-License-Identifier: MIT
// Owners of yyjson documents and malloc'd texts, so that every path releases them.
#pragma once

#include <yyjson.h>

#include <cstdlib>

static_assert(YYJSON_VERSION_MAJOR == 0 && YYJSON_VERSION_MINOR == 12,
              "liborvel-sync needs yyjson 0.12: run scripts/install-deps");

namespace orvel_sync {

class ReadDoc {
 public:
  explicit ReadDoc(yyjson_doc *doc) noexcept : doc_(doc) {}
  ~ReadDoc() { yyjson_doc_free(doc_); }
  ReadDoc(const ReadDoc &) = delete;
  ReadDoc &operator=(const ReadDoc &) = delete;
  yyjson_doc *get() const noexcept { return doc_; }

 private:
  yyjson_doc *doc_;
};

class WriteDoc {
 public:
  WriteDoc() noexcept : doc_(yyjson_mut_doc_new(nullptr)) {}
  ~WriteDoc() { yyjson_mut_doc_free(doc_); }
  WriteDoc(const WriteDoc &) = delete;
  WriteDoc &operator=(const WriteDoc &) = delete;
  yyjson_mut_doc *get() const noexcept { return doc_; }

 private:
  yyjson_mut_doc *doc_;
};

class OwnedText {
 public:
  explicit OwnedText(char *text = nullptr) noexcept : text_(text) {}
  ~OwnedText() { std::free(text_); }
  OwnedText(const OwnedText &) = delete;
  OwnedText &operator=(const OwnedText &) = delete;
  char *get() const noexcept { return text_; }
  char *release() noexcept {
    char *t = text_;
    text_ = nullptr;
    return t;
  }

 private:
  char *text_;
};

}  // namespace orvel_sync
