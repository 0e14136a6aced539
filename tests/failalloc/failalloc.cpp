// SPDX-License-Identifier: MIT
// Interposes malloc, calloc, realloc and free for the whole process and
// forwards to the real allocator: the sanitizer's when one is linked in,
// glibc's otherwise. This file is built without sanitizer instrumentation
// (it runs before the runtimes are set up) and so uses the compiler's atomic
// builtins rather than std::atomic, whose shared inline copies may be
// instrumented elsewhere.
#include "failalloc.h"

#include <malloc.h>

#include <cstddef>
#include <cstring>

extern "C" {
// Sanitizer runtimes define the allocator as __interceptor_* with weak
// aliases, so this file's definitions win and forward to them.
void *__interceptor_malloc(std::size_t) __attribute__((weak));
void *__interceptor_calloc(std::size_t, std::size_t) __attribute__((weak));
void *__interceptor_realloc(void *, std::size_t) __attribute__((weak));
void __interceptor_free(void *) __attribute__((weak));
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void __libc_free(void *);
}

namespace failalloc {
namespace {

bool g_armed = false;
std::uint64_t g_target = 0;
std::uint64_t g_also = 0;
bool g_move = false;
std::uint64_t g_attempts = 0;
bool g_fired = false;
std::int64_t g_live = 0;
std::int64_t g_live_bytes = 0;

template <class T>
T load(const T &v) noexcept {
  return __atomic_load_n(&v, __ATOMIC_SEQ_CST);
}
template <class T>
void store(T &v, T value) noexcept {
  __atomic_store_n(&v, value, __ATOMIC_SEQ_CST);
}

// True when this allocation must fail.
bool should_fail() noexcept {
  if (!load(g_armed)) return false;
  const std::uint64_t n = __atomic_add_fetch(&g_attempts, 1, __ATOMIC_SEQ_CST);
  if (n == load(g_also)) return true;
  if (n != load(g_target)) return false;
  store(g_fired, true);
  return true;
}

}  // namespace

void arm(std::uint64_t n) noexcept {
  store(g_attempts, std::uint64_t{0});
  store(g_fired, false);
  store(g_target, n);
  store(g_also, std::uint64_t{0});
  store(g_armed, true);
}
void also_fail(std::uint64_t n) noexcept { store(g_also, n); }
void move_reallocs(bool on) noexcept { store(g_move, on); }
void disarm() noexcept { store(g_armed, false); }
std::uint64_t attempts() noexcept { return load(g_attempts); }
bool fired() noexcept { return load(g_fired); }
std::int64_t live_blocks() noexcept { return load(g_live); }
std::int64_t live_bytes() noexcept { return load(g_live_bytes); }

}  // namespace failalloc

namespace {
// Bytes are counted from the executable's constructors on: before that a
// sanitizer runtime may not be ready to answer malloc_usable_size, which is
// its own where one is linked in, so that it reports on its blocks.
bool g_count_bytes = false;
__attribute__((constructor)) void start_counting_bytes() { __atomic_store_n(&g_count_bytes, true, __ATOMIC_SEQ_CST); }

std::int64_t usable(void *p) noexcept {
  return __atomic_load_n(&g_count_bytes, __ATOMIC_SEQ_CST) ? static_cast<std::int64_t>(malloc_usable_size(p)) : 0;
}

void count_block(void *p, std::int64_t delta) noexcept {
  __atomic_add_fetch(&failalloc::g_live, delta, __ATOMIC_RELAXED);
  __atomic_add_fetch(&failalloc::g_live_bytes, delta * usable(p), __ATOMIC_RELAXED);
}
}  // namespace

using failalloc::should_fail;

namespace {
void *raw_malloc(std::size_t size) noexcept {
  void *p = __interceptor_malloc ? __interceptor_malloc(size) : __libc_malloc(size);
  if (p != nullptr) count_block(p, 1);
  return p;
}
void raw_free(void *p) noexcept {
  count_block(p, -1);
  if (__interceptor_free) {
    __interceptor_free(p);
  } else {
    __libc_free(p);
  }
}
}  // namespace

extern "C" {

void *malloc(std::size_t size) {
  if (should_fail()) return nullptr;
  return raw_malloc(size);
}

void *calloc(std::size_t n, std::size_t size) {
  if (should_fail()) return nullptr;
  void *p = __interceptor_calloc ? __interceptor_calloc(n, size) : __libc_calloc(n, size);
  if (p != nullptr) count_block(p, 1);
  return p;
}

void *realloc(void *old, std::size_t size) {
  if (should_fail()) return nullptr;
  if (old != nullptr && size > 0 && __atomic_load_n(&failalloc::g_move, __ATOMIC_SEQ_CST)) {
    void *moved = raw_malloc(size);
    if (moved == nullptr) return nullptr;
    const std::size_t old_size = malloc_usable_size(old);
    std::memcpy(moved, old, old_size < size ? old_size : size);
    raw_free(old);
    return moved;
  }
  const std::int64_t old_bytes = old != nullptr ? usable(old) : 0;
  void *p = __interceptor_realloc ? __interceptor_realloc(old, size) : __libc_realloc(old, size);
  if (p == nullptr) return p;
  if (old == nullptr) {
    count_block(p, 1);
  } else {
    __atomic_add_fetch(&failalloc::g_live_bytes, usable(p) - old_bytes, __ATOMIC_RELAXED);
  }
  return p;
}

void free(void *p) {
  if (p != nullptr) raw_free(p);
}

}  // extern "C"
