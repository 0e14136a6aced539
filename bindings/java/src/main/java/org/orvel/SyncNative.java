// SPDX-License-Identifier: MIT
package org.orvel;

/**
 * The functions of liborvel-sync's JNI shim (orvel_sync_jni.c) and its loading, which happens
 * only when a journal is first used: a program of Wishlists alone needs neither the shim nor
 * liborvel-sync.so.1. Texts as in {@link Native}.
 */
final class SyncNative {
  /** The shim, looked for beside liborvel's shim when -Dorvel.sync.library.path is not set. */
  static final Shim SHIM = new Shim("orvel_sync_jni", "liborvel-sync", "liborvel-sync.so.1",
      Orvel.SYNC_LIBRARY_PATH_PROPERTY, Orvel.SYNC_LIBRARY_SEARCH_ORDER, Native.SHIM::folder,
      SyncNative::abiVersion, SyncedWishlist.ABI_VERSION);

  // What orvel_sync_count counts, and orvel_sync_load's result for a stale response.
  static final int HELD = 0;
  static final int UNSENT = 1;
  static final int IN_FLIGHT = 2;
  static final int CONFIRMING = 3;
  static final int UNCERTAIN = 4;
  static final int STALE = -2;

  private SyncNative() {}

  /** Loads liborvel's shim, then this one, once; UnsatisfiedLinkError when impossible. */
  static void load() {
    Native.load();
    SHIM.load();
  }

  static native String version();

  static native int abiVersion();

  static native byte[] lastError();

  static native long create(long store);

  static native void destroy(long journal);

  static native long set(long journal, boolean wished, byte[] kind, byte[] itemId, byte[] title, byte[] artist);

  /** The envelope or null; the operation's id (0 for none) is written to opId[0]. */
  static native byte[] nextRequest(long journal, byte[] baseUrl, long[] opId);

  static native int report(long journal, long opId, int outcome);

  static native long beginRefresh(long journal);

  static native int load(long journal, long token, byte[] json);

  static native byte[] export(long journal);

  static native int restore(long journal, byte[] json);

  static native int count(long journal, int which);

  /** orvel_sync_report_outcome: what it did to the store is written to storeChange[0]. */
  static native int reportOutcome(long journal, long opId, int outcome, int[] storeChange);

  /** orvel_sync_entry_status: state, wished, opId, attempts, uncertain are written to entry[0..4]. */
  static native int entryStatus(long journal, byte[] kind, byte[] itemId, long[] entry);

  static native byte[] snapshot(long journal);

  /** The new journal, or 0 on failure; its new store is written to store[0]. */
  static native long openSnapshot(byte[] json, long[] store);
}
