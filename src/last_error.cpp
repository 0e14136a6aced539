// SPDX-License-Identifier: MIT
// The per-thread error text: written by the loader and the request builder.
#include "last_error.h"

#include <cstring>
#include <string_view>

#include "orvel.h"

namespace orvel {
namespace {

constexpr std::size_t kErrorBufferSize = 256;

// Initial-exec TLS puts the buffer in the static TLS block that is set up with
// each thread: no thread ever allocates it on first use. Under the default
// model a library loaded with dlopen gets its buffer allocated lazily, and
// when that allocation fails the C library aborts the process. Static TLS is
// reserved when the library is loaded instead, so a dlopen that cannot
// reserve it fails cleanly and, once loaded, reading or writing the error
// text cannot fail. Zero-initialised, so a thread that has seen no failure
// reads "".
#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#  define ORVEL_STATIC_TLS __attribute__((tls_model("initial-exec")))
#else
#  define ORVEL_STATIC_TLS
#endif
thread_local char g_last_err[kErrorBufferSize] ORVEL_STATIC_TLS;

constexpr std::string_view kMessages[] = {
    "invalid kind",   // Error::invalid_kind
    "empty item_id",  // Error::empty_item_id
    "null arg",       // Error::null_arg
    "invalid json",   // Error::invalid_json
};

static_assert(sizeof kMessages / sizeof kMessages[0] ==
              static_cast<std::size_t>(Error::invalid_json) + 1);

// set_last_error copies a message with its NUL into the buffer unchecked.
constexpr bool every_message_fits() {
  for (const std::string_view msg : kMessages) {
    if (msg.size() + 1 > kErrorBufferSize) return false;
  }
  return true;
}
static_assert(every_message_fits(), "an error message with its NUL must fit the per-thread buffer");

}  // namespace

void set_last_error(Error e) noexcept {
  const std::string_view msg = kMessages[static_cast<std::size_t>(e)];
  // Copy with the terminating NUL so a shorter message hides a longer one.
  std::memcpy(g_last_err, msg.data(), msg.size() + 1);
}

void clear_last_error() noexcept { g_last_err[0] = '\0'; }

}  // namespace orvel

extern "C" {

ORVEL_API const char *orvel_last_error(void) { return orvel::g_last_err; }

}  // extern "C"
