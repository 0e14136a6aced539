package org.orvel;

import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.nio.charset.StandardCharsets;

/**
 * One user's wishlist store. Close it when done (try-with-resources); a Wishlist that is never
 * closed is released once it is collected. A closed Wishlist throws IllegalStateException. Not
 * safe for use by two threads at once; separate Wishlists are independent.
 */
public final class Wishlist implements AutoCloseable {
  private static final Cleaner CLEANER = Cleaner.create();

  /** The native store, released once by close() or by the cleaner, whichever comes first. */
  private static final class Store implements Runnable {
    private long handle;

    Store(long handle) {
      this.handle = handle;
    }

    @Override
    public synchronized void run() {
      long h = handle;
      handle = 0;
      if (h != 0) Native.destroy(h);
    }

    synchronized long handle() {
      if (handle == 0) throw new IllegalStateException("the wishlist is closed");
      return handle;
    }

    synchronized boolean closed() {
      return handle == 0;
    }
  }

  private final Store store;
  private final Cleaner.Cleanable cleanable;

  /** A new empty wishlist. Throws OutOfMemoryError when the library has no memory for it. */
  public Wishlist() {
    Native.load();
    long handle = Native.create();
    if (handle == 0) throw new OutOfMemoryError("orvel_create: out of memory");
    store = new Store(handle);
    cleanable = CLEANER.register(this, store);
  }

  /**
   * Replaces the content with a list response, read with its exact length, and returns the
   * number of entries. Throws OrvelException with reason "invalid json", the content unchanged,
   * when the text is not strict JSON (empty, not UTF-8, trailing bytes...).
   */
  public int load(byte[] response) {
    if (response == null) throw new NullPointerException("response must not be null");
    try {
      int count = Native.load(store.handle(), response);
      if (count < 0) throw new OrvelException("cannot load the response", Orvel.lastError());
      return count;
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** The same for a response held in a String (sent as UTF-8). */
  public int load(String response) {
    if (response == null) throw new NullPointerException("response must not be null");
    return load(response.getBytes(StandardCharsets.UTF_8));
  }

  /**
   * Adds the entry (true) or removes it (false). title and artist may be null (stored as "").
   * Throws OrvelException, the store unchanged, for an invalid kind, an empty item id, a full
   * store or lack of memory.
   */
  public boolean toggle(String kind, String itemId, String title, String artist) {
    byte[] kindBytes = Orvel.utf8(kind, "kind", false);
    byte[] idBytes = Orvel.utf8(itemId, "itemId", false);
    byte[] titleBytes = Orvel.utf8(title, "title", true);
    byte[] artistBytes = Orvel.utf8(artist, "artist", true);
    try {
      int result = Native.toggle(store.handle(), kindBytes, idBytes, titleBytes, artistBytes);
      if (result < 0) {
        String reason = Native.validateKind(kindBytes) != 0 ? "invalid kind"
            : idBytes.length == 0 ? "empty item_id" : "out of memory or the store is full";
        throw new OrvelException("cannot toggle " + kind + " " + itemId, reason);
      }
      return result == 1;
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** True when the (kind, itemId) entry is in the wishlist. */
  public boolean contains(String kind, String itemId) {
    byte[] kindBytes = Orvel.utf8(kind, "kind", false);
    byte[] idBytes = Orvel.utf8(itemId, "itemId", false);
    try {
      return Native.isWished(store.handle(), kindBytes, idBytes) == 1;
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** The number of entries. */
  public int size() {
    try {
      return Native.count(store.handle());
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** The whole wishlist as the library's JSON text: {"total":N,"items":[...]}. */
  public String exportJson() {
    try {
      return Orvel.text(Native.exportJson(store.handle()),
          "cannot export the wishlist (a text is not valid UTF-8, or memory is short)", false);
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** True once close() has run. */
  public boolean isClosed() {
    return store.closed();
  }

  /** Releases the store; harmless when already closed. */
  @Override
  public void close() {
    cleanable.clean();
  }
}
