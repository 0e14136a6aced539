// An identifier whose tags for two kinds are equal under a fixed key, so that
// a test can make the index tell two identities apart by the kind alone.
// find_equal_tags.cpp found it; run it again if the tag function changes.
#pragma once

#include "keyed_hash.h"

namespace orvel_test {

inline constexpr orvel::HashKey kEqualTagKey{0x6f7276656c746167u, 0x6b696e6474657374u};
// Shorter than 8 bytes, so its hash does not depend on the byte order.
inline constexpr const char *kEqualTagId = "KyaJ01";
inline constexpr int kEqualTagKinds[2] = {1, 2};  // album, artist

}  // namespace orvel_test
