// SPDX-License-Identifier: MIT
// ES module entry: the same objects as the CommonJS entry, so a program that
// mixes import and require still loads one library and shares one Wishlist.
import orvel from './index.cjs';

export const {
  ABI_VERSION,
  ClientState,
  DEFAULTS,
  EntryState,
  KINDS,
  LIBRARIES,
  LibraryNotFoundError,
  OrvelError,
  Outcome,
  REASONS,
  SEARCH_ORDER,
  SYNC_ABI_VERSION,
  SYNC_REASONS,
  StateError,
  StoreChange,
  SyncedWishlist,
  Wishlist,
  WishlistClient,
  abiVersion,
  buildMineUrl,
  buildWishRequest,
  buildWishRequestJson,
  loadLibrary,
  selftest,
  syncAbiVersion,
  syncVersion,
  validateKind,
  version,
} = orvel;

export default orvel;
