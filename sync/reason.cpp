// SPDX-License-Identifier: MIT
// The reason text (per thread, in static TLS as liborvel's own error text),
// the versions and the release of returned texts.
#include "reason.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "orvel_sync.h"

namespace orvel_sync {
namespace {

constexpr std::size_t kReasonBufferSize = 32;

// Static TLS, reserved when the library is loaded, so writing a reason can
// never fail (see liborvel's error text for the same choice).
#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#  define ORVEL_SYNC_STATIC_TLS __attribute__((tls_model("initial-exec")))
#else
#  define ORVEL_SYNC_STATIC_TLS
#endif
thread_local char g_reason[kReasonBufferSize] ORVEL_SYNC_STATIC_TLS;

// In the order of Reason.
constexpr std::string_view kReasons[] = {
    "null arg",          "invalid kind",    "empty item_id",       "invalid utf-8",
    "invalid argument",  "unknown operation", "unknown token",     "stale response",
    "invalid json",      "invalid journal", "unsupported version", "journal not empty",
    "invalid snapshot",  "out of memory",
};
static_assert(sizeof kReasons / sizeof kReasons[0] == static_cast<std::size_t>(Reason::out_of_memory) + 1);

constexpr bool all_fit() {
  for (std::string_view r : kReasons) {
    if (r.size() + 1 > kReasonBufferSize) return false;
  }
  return true;
}
static_assert(all_fit(), "every reason, with its NUL, fits the per-thread buffer");

}  // namespace

void fail_with(Reason r) noexcept {
  const std::string_view text = kReasons[static_cast<std::size_t>(r)];
  std::memcpy(g_reason, text.data(), text.size() + 1);
}

void succeed() noexcept { g_reason[0] = '\0'; }

}  // namespace orvel_sync

extern "C" {

ORVEL_SYNC_API const char *orvel_sync_version(void) { return ORVEL_SYNC_VERSION; }

ORVEL_SYNC_API int32_t orvel_sync_abi_version(void) { return ORVEL_SYNC_ABI_VERSION; }

ORVEL_SYNC_API const char *orvel_sync_last_error(void) { return orvel_sync::g_reason; }

ORVEL_SYNC_API void orvel_sync_free(void *text) { std::free(text); }

}  // extern "C"
