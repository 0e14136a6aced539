// SPDX-License-Identifier: MIT
// The library loaded with dlopen, as FFI runtimes load it: the per-thread
// error text must serve threads that existed before the library was loaded
// as well as threads started after, each with its own text.
//   orvel_dlopen_test PATH_TO_LIBORVEL
#include <dlfcn.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "orvel.h"  // declarations only: the program does not link the library

namespace {

using LoadFn = decltype(&orvel_load_mine_json);
using RequestFn = decltype(&orvel_build_wish_request_json);
using ErrorFn = decltype(&orvel_last_error);

LoadFn load_json;
RequestFn build_request;
ErrorFn last_error;
int failures = 0;
std::mutex report;

void expect(bool ok, const char *what, const char *seen) {
  if (ok) return;
  const std::lock_guard<std::mutex> lock(report);
  std::printf("FAIL %s (error text '%s')\n", what, seen);
  ++failures;
}

// On the calling thread: a fresh text, then one of each message this thread
// writes, never another thread's.
void use_on_this_thread(const char *who) {
  expect(std::strcmp(last_error(), "") == 0, who, last_error());
  expect(load_json(nullptr, "[]", 2) == -1, who, last_error());
  expect(std::strcmp(last_error(), "null arg") == 0, who, last_error());
  expect(build_request(nullptr, 1, "Album", "a", nullptr, nullptr) == nullptr, who, last_error());
  expect(std::strcmp(last_error(), "invalid kind") == 0, who, last_error());
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
    return 2;
  }
  // A thread that exists before the library does, waiting to use it.
  std::mutex m;
  std::condition_variable cv;
  bool loaded = false;
  std::thread early([&] {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return loaded; });
    lock.unlock();
    use_on_this_thread("thread started before dlopen");
  });

  void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::printf("FAIL dlopen: %s\n", dlerror());
    early.detach();
    return 1;
  }
  load_json = reinterpret_cast<LoadFn>(dlsym(lib, "orvel_load_mine_json"));
  build_request = reinterpret_cast<RequestFn>(dlsym(lib, "orvel_build_wish_request_json"));
  last_error = reinterpret_cast<ErrorFn>(dlsym(lib, "orvel_last_error"));
  if (load_json == nullptr || build_request == nullptr || last_error == nullptr) {
    std::printf("FAIL dlsym: %s\n", dlerror());
    early.detach();
    return 1;
  }

  expect(load_json(nullptr, "x", 1) == -1 && std::strcmp(last_error(), "null arg") == 0,
         "main thread", last_error());
  {
    const std::lock_guard<std::mutex> lock(m);
    loaded = true;
  }
  cv.notify_one();
  std::vector<std::thread> late;
  for (int i = 0; i < 8; ++i) late.emplace_back([] { use_on_this_thread("thread started after dlopen"); });
  early.join();
  for (std::thread &t : late) t.join();
  // The other threads' messages never reached this one.
  expect(std::strcmp(last_error(), "null arg") == 0, "main thread after the others", last_error());
  dlclose(lib);
  std::printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures);
  return failures == 0 ? 0 : 1;
}
