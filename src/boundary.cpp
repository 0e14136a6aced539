// SPDX-License-Identifier: MIT
// The boundary's fixed answers: the versions, and the release of returned texts.
#include <cstdlib>

#include "orvel.h"

extern "C" {

ORVEL_API const char *orvel_version(void) { return ORVEL_VERSION; }

ORVEL_API int32_t orvel_abi_version(void) { return ORVEL_ABI_VERSION; }

ORVEL_API void orvel_free(void *text) { std::free(text); }

}  // extern "C"
