// SPDX-License-Identifier: MIT
package org.orvel;

import java.lang.ref.Reference;

/**
 * One user's wishlist store. Close it when done (try-with-resources); a Wishlist that is never
 * closed is released once it is collected. A closed Wishlist throws IllegalStateException.
 * Threads may share one: its calls run one at a time, and close() waits for a call in progress.
 * Iteration gives the entries in store order.
 */
public final class Wishlist extends StoreView {
  /** A new empty wishlist. Throws OutOfMemoryError when the library has no memory for it. */
  public Wishlist() {
    super(newStore());
  }

  private static Handles newStore() {
    Native.load();
    long store = Native.create();
    if (store == 0) throw new OutOfMemoryError("orvel_create: out of memory");
    return new Handles(store, 0);
  }

  /**
   * Replaces the content with a list response, read with its exact length, and returns the
   * number of entries. Throws OrvelException with reason "invalid json", the content unchanged,
   * when the text is not strict JSON (empty, not UTF-8, trailing bytes...).
   */
  public int load(byte[] response) {
    if (response == null) throw new NullPointerException("response must not be null");
    try {
      synchronized (lock) {
        int count = Native.load(store(), response);
        if (count < 0) throw new OrvelException("cannot load the response", Texts.string(Native.lastError()));
        return count;
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /**
   * The same for a response held in a String, sent as UTF-8. A String that is not well-formed
   * UTF-16 (a lone surrogate) is not JSON text either: it fails with reason "invalid json".
   */
  public int load(String response) {
    return load(Texts.document(response, "response"));
  }

  /**
   * Adds the entry (true) or removes it (false). title and artist may be null (stored as "").
   * Throws OrvelException, the store unchanged, with reason "empty item_id" for an empty item
   * id, or "out of memory" when the store is full or memory short.
   */
  public boolean toggle(Kind kind, String itemId, String title, String artist) {
    if (kind == null) throw new NullPointerException("kind must not be null");
    return toggle(kind.text(), itemId, title, artist);
  }

  /** Adds the entry with no title or artist (true), or removes it (false). */
  public boolean toggle(Kind kind, String itemId) {
    return toggle(kind, itemId, null, null);
  }

  /** The same with no title or artist. */
  public boolean toggle(String kind, String itemId) {
    return toggle(kind, itemId, null, null);
  }

  /** The same with the kind as a text: reason "invalid kind" when it is not one of the four. */
  public boolean toggle(String kind, String itemId, String title, String artist) {
    byte[] kindBytes = Texts.utf8(kind, "kind", false);
    byte[] idBytes = Texts.utf8(itemId, "itemId", false);
    byte[] titleBytes = Texts.utf8(title, "title", true);
    byte[] artistBytes = Texts.utf8(artist, "artist", true);
    try {
      int result;
      synchronized (lock) {
        result = Native.toggle(store(), kindBytes, idBytes, titleBytes, artistBytes);
      }
      if (result < 0) {
        String reason = Orvel.argumentReason(kindBytes, idBytes);
        throw new OrvelException("cannot toggle " + kind + " " + itemId,
            reason.isEmpty() ? OrvelException.OUT_OF_MEMORY : reason);
      }
      return result == 1;
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /**
   * True when the (kind, itemId) entry is in the wishlist.
   *
   * @deprecated use {@link #has(String, String)}, its name in every binding.
   */
  @Deprecated
  public boolean contains(String kind, String itemId) {
    return has(kind, itemId);
  }
}
