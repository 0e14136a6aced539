// SPDX-License-Identifier: MIT
// Peak memory of one orvel_load_mine_json call, against the size of the
// response: the caller's text, the parsed document and the store together.
//
//   orvel_peak_memory [ELEMENTS] [items|grouped|compact|one-identity|empty-objects]
//                     [load|parse|reload]
//
// one-identity is ELEMENTS copies of one identity and empty-objects ELEMENTS
// empty objects: responses that read many elements and keep one entry or
// none, whose store_bytes is what the store holds on to afterwards.
//
// With "parse", measures a bare parse of the text instead, to show what the
// document alone costs; it runs in a process of its own because memory the
// allocator keeps after one measure would hide part of the next.
// Prints one JSON object. Two measures: heap bytes (every block the process
// holds, counted by malloc_usable_size through the allocator below) and
// resident memory (the kernel's high-water mark, reset before the load).
// They differ because the parser reserves more room for values than most
// texts need, and pages never touched are never resident.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include <yyjson.h>

#include "orvel.h"
#include "responses.h"

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void __libc_free(void *);
}

namespace {

std::size_t g_live = 0;
std::size_t g_peak = 0;

void counted(void *p) {
  if (p == nullptr) return;
  g_live += malloc_usable_size(p);
  if (g_live > g_peak) g_peak = g_live;
}

// Kilobytes of a "Vm..." line of /proc/self/status, in bytes.
std::size_t status_bytes(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10) * 1024;
  }
  return 0;
}

}  // namespace

// The process's allocator, counting: the library and the JSON library
// allocate through these too.
extern "C" {
void *malloc(std::size_t n) {
  void *p = __libc_malloc(n);
  counted(p);
  return p;
}
void *calloc(std::size_t n, std::size_t size) {
  void *p = __libc_calloc(n, size);
  counted(p);
  return p;
}
void *realloc(void *old, std::size_t n) {
  const std::size_t old_size = old != nullptr ? malloc_usable_size(old) : 0;
  void *p = __libc_realloc(old, n);
  if (p != nullptr || n == 0) {
    g_live -= old_size;
    counted(p);
  }
  return p;
}
void free(void *p) {
  if (p != nullptr) g_live -= malloc_usable_size(p);
  __libc_free(p);
}
}

int main(int argc, char **argv) {
  const std::size_t elements = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::string_view shape_name = argc > 2 ? argv[2] : "items";
  const bench::Shape shape = shape_name == "grouped"   ? bench::Shape::grouped
                             : shape_name == "compact" ? bench::Shape::compact
                                                       : bench::Shape::items;
  const auto generate = [&] {
    const auto repeated = [elements](std::string head, const char *element, const char *tail) {
      for (std::size_t i = 0; i < elements; ++i) (head += i > 0 ? "," : "") += element;
      return head + tail;
    };
    if (shape_name == "one-identity") return repeated(R"({"tracks":[)", R"("a")", "]}");
    if (shape_name == "empty-objects") return repeated("[", "{}", "]");
    return bench::make_shape_response(shape, elements);
  };

  // The caller's text, in a block of its own exact size.
  std::size_t len = 0;
  char *text = nullptr;
  {
    const std::string generated = generate();
    len = generated.size();
    text = static_cast<char *>(std::malloc(len));
    std::memcpy(text, generated.data(), len);
  }
  const std::size_t text_heap = malloc_usable_size(text);
  const std::size_t heap_before = g_live - text_heap;

  // Peaks of what runs between here and the next call, text included.
  struct Peak {
    std::size_t heap;
    std::size_t resident;
  };
  std::size_t rss_before = 0;
  const auto start = [&] {
    g_peak = g_live;
    // Resets the resident high-water mark to what is resident now.
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    rss_before = status_bytes("VmRSS:");
  };
  const auto peak = [&] {
    return Peak{g_peak - heap_before, status_bytes("VmHWM:") - rss_before + len};
  };

  const std::string_view what = argc > 3 ? argv[3] : "load";
  const bool parse_only = what == "parse";
  // "reload" loads the same text again into the store that holds it: the
  // peak then covers the old entries, the document and the new entries.
  const bool reload = what == "reload";
  orvel_store *store = orvel_create();
  start();
  int stored = 0;
  if (parse_only) {
    yyjson_doc_free(yyjson_read_opts(text, len, 0, nullptr, nullptr));
  } else {
    stored = orvel_load_mine_json(store, text, len);
    if (reload) stored = orvel_load_mine_json(store, text, len);
  }
  const Peak load = peak();
  const std::size_t store_bytes = g_live - heap_before - text_heap;

  const auto ratio = [len](std::size_t bytes) { return static_cast<double>(bytes) / static_cast<double>(len); };
  std::printf(
      "{\"what\":\"%s\",\"shape\":\"%s\",\"elements\":%zu,\"stored\":%d,\"response_bytes\":%zu,"
      "\"heap_peak_bytes\":%zu,\"heap_ratio\":%.2f,\"resident_peak_bytes\":%zu,"
      "\"resident_ratio\":%.2f,\"store_bytes\":%zu,\"store_bytes_per_entry\":%.1f,"
      "\"store_ratio\":%.2f}\n",
      parse_only ? "parse" : reload ? "reload" : "load", std::string(shape_name).c_str(), elements, stored, len, load.heap,
      ratio(load.heap), load.resident, ratio(load.resident), store_bytes,
      stored > 0 ? static_cast<double>(store_bytes) / stored : 0.0, ratio(store_bytes));
  orvel_destroy(store);
  std::free(text);
  return parse_only || stored >= 0 ? 0 : 1;
}
