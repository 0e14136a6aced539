// SPDX-License-Identifier: MIT
package org.orvel;

/** What {@link SyncedWishlist#report} did to the store. */
public enum StoreChange {
  UNCHANGED,
  /** A refused addition: the entry is gone. */
  REMOVED,
  /** A refused removal: the entry is back. */
  SHOWN;

  /** The library's number for it (ORVEL_SYNC_STORE_UNCHANGED, _REMOVED, _SHOWN). */
  public int code() {
    return ordinal();
  }

  static StoreChange of(int code) {
    return values()[code];
  }
}
