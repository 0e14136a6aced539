// SPDX-License-Identifier: MIT
// Helpers shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "orvel.h"
#include "orvel_sync.h"

namespace fuzz {

// Aborts with a message, so libFuzzer records the input as a finding.
inline void check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// Copies and releases a returned text; "<absent>" for a null result.
inline std::string take(char *text) {
  if (text == nullptr) return "<absent>";
  std::string copy(text);
  orvel_free(text);
  return copy;
}

// The same for a text of liborvel-sync's.
inline std::string take_sync(char *text) {
  if (text == nullptr) return "<absent>";
  std::string copy(text);
  orvel_sync_free(text);
  return copy;
}

}  // namespace fuzz
