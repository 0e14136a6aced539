// Library boundary: versions, the release function and the per-thread error text.
#include "last_error.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "orvel.h"

namespace orvel {
namespace {

constexpr std::size_t kErrorBufferSize = 256;

// Zero-initialised on each thread's first use, so a thread that has seen no
// failure reads "". Static TLS needs no allocation that could fail later.
thread_local char g_last_err[kErrorBufferSize];

constexpr std::string_view kMessages[] = {
    "invalid kind",   // Error::invalid_kind
    "empty item_id",  // Error::empty_item_id
    "null arg",       // Error::null_arg
    "invalid json",   // Error::invalid_json
};

static_assert(sizeof kMessages / sizeof kMessages[0] ==
              static_cast<std::size_t>(Error::invalid_json) + 1);

}  // namespace

void set_last_error(Error e) noexcept {
  const std::string_view msg = kMessages[static_cast<std::size_t>(e)];
  // Copy with the terminating NUL so a shorter message hides a longer one.
  std::memcpy(g_last_err, msg.data(), msg.size() + 1);
}

void clear_last_error() noexcept { g_last_err[0] = '\0'; }

}  // namespace orvel

extern "C" {

ORVEL_API const char *orvel_version(void) { return ORVEL_VERSION; }

ORVEL_API int32_t orvel_abi_version(void) { return ORVEL_ABI_VERSION; }

ORVEL_API const char *orvel_last_error(void) { return orvel::g_last_err; }

ORVEL_API void orvel_free(void *text) { std::free(text); }

}  // extern "C"
