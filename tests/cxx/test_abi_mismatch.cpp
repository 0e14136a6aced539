// SPDX-License-Identifier: MIT
// The header built for another liborvel-sync interface version than the one
// loaded: nothing that needs the journal can be made, and the reason says why;
// liborvel's own objects still can.
#define ORVEL_HPP_EXPECTED_SYNC_ABI (ORVEL_SYNC_ABI_VERSION + 1)
#include "orvel.hpp"

#include <gtest/gtest.h>

namespace {

TEST(CxxAbi, AMismatchedJournalLibraryRefusesEveryCreation) {
  for (int attempt = 0; attempt < 2; ++attempt) {  // checked once, remembered after
    EXPECT_EQ(orvel::SyncedWishlist::try_create().reason(), orvel::reason::sync_abi_mismatch);
    EXPECT_EQ(orvel::SyncedWishlist::try_open_snapshot("{}").reason(), orvel::reason::sync_abi_mismatch);
    EXPECT_EQ(orvel::SyncedWishlist::try_restore("{}").reason(), orvel::reason::sync_abi_mismatch);
  }
  EXPECT_THROW(orvel::SyncedWishlist(), orvel::Error);
  EXPECT_TRUE(orvel::Wishlist::try_create().ok());
}

}  // namespace
