// Interposes malloc, calloc, realloc and free for the whole process and
// forwards to the real allocator: the sanitizer's when one is linked in,
// glibc's otherwise. This file is built without sanitizer instrumentation
// (it runs before the runtimes are set up) and so uses the compiler's atomic
// builtins rather than std::atomic, whose shared inline copies may be
// instrumented elsewhere.
#include "failalloc.h"

#include <cstddef>

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
std::uint64_t g_attempts = 0;
bool g_fired = false;
std::int64_t g_live = 0;

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
  if (n != load(g_target)) return false;
  store(g_fired, true);
  return true;
}

}  // namespace

void arm(std::uint64_t n) noexcept {
  store(g_attempts, std::uint64_t{0});
  store(g_fired, false);
  store(g_target, n);
  store(g_armed, true);
}
void disarm() noexcept { store(g_armed, false); }
std::uint64_t attempts() noexcept { return load(g_attempts); }
bool fired() noexcept { return load(g_fired); }
std::int64_t live_blocks() noexcept { return load(g_live); }

}  // namespace failalloc

namespace {
void count_block(std::int64_t delta) noexcept {
  __atomic_add_fetch(&failalloc::g_live, delta, __ATOMIC_RELAXED);
}
}  // namespace

using failalloc::should_fail;

extern "C" {

void *malloc(std::size_t size) {
  if (should_fail()) return nullptr;
  void *p = __interceptor_malloc ? __interceptor_malloc(size) : __libc_malloc(size);
  if (p != nullptr) count_block(1);
  return p;
}

void *calloc(std::size_t n, std::size_t size) {
  if (should_fail()) return nullptr;
  void *p = __interceptor_calloc ? __interceptor_calloc(n, size) : __libc_calloc(n, size);
  if (p != nullptr) count_block(1);
  return p;
}

void *realloc(void *old, std::size_t size) {
  if (should_fail()) return nullptr;
  void *p = __interceptor_realloc ? __interceptor_realloc(old, size) : __libc_realloc(old, size);
  if (old == nullptr && p != nullptr) count_block(1);
  return p;
}

void free(void *p) {
  if (p == nullptr) return;
  count_block(-1);
  if (__interceptor_free) {
    __interceptor_free(p);
  } else {
    __libc_free(p);
  }
}

}  // extern "C"
