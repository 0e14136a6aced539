// SPDX-License-Identifier: MIT
package org.orvel;

import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.util.Iterator;

/**
 * What Wishlist and SyncedWishlist (its only subclasses) share: one native store (and, for a SyncedWishlist, its
 * journal), released once by close() or, when it is never closed, by the cleaner once the object
 * is collected; and reading the store. A closed object throws IllegalStateException. Every
 * native call runs holding {@link #lock}, as the release does: threads may share one object,
 * its calls run one at a time, and close() waits for a call in progress. Every method also keeps
 * its object reachable until its native call has returned.
 */
abstract class StoreView implements Iterable<Entry>, AutoCloseable {
  private static final Cleaner CLEANER = Cleaner.create();

  /** The native handles; the journal (0 for none) is released before the store it borrows. */
  static final class Handles implements Runnable {
    private long store;
    private long journal;

    Handles(long store, long journal) {
      this.store = store;
      this.journal = journal;
    }

    @Override
    public synchronized void run() {
      long j = journal;
      long s = store;
      journal = 0;
      store = 0;
      if (j != 0) SyncNative.destroy(j);
      if (s != 0) Native.destroy(s);
    }

    synchronized long store() {
      if (store == 0) throw new IllegalStateException("the wishlist is closed");
      return store;
    }

    synchronized long journal() {
      if (journal == 0) throw new IllegalStateException("the wishlist is closed");
      return journal;
    }

    synchronized boolean closed() {
      return store == 0;
    }
  }

  private final Handles handles;
  private final Cleaner.Cleanable cleanable;
  /** Held around every native call on the handles; their release takes it too. */
  final Object lock;

  StoreView(Handles handles) {
    this.handles = handles;
    this.lock = handles;
    this.cleanable = CLEANER.register(this, handles);
  }

  /** The store's handle; IllegalStateException once closed. Callers fence this object. */
  final long store() {
    return handles.store();
  }

  /** The journal's handle; IllegalStateException once closed. Callers fence this object. */
  final long journal() {
    return handles.journal();
  }

  /** True when the (kind, itemId) entry is in the wishlist. */
  public boolean has(Kind kind, String itemId) {
    if (kind == null) throw new NullPointerException("kind must not be null");
    return has(kind.text(), itemId);
  }

  /** True when the (kind, itemId) entry is in the wishlist; false for a kind that is not one. */
  public boolean has(String kind, String itemId) {
    byte[] kindBytes = Texts.utf8(kind, "kind", false);
    byte[] idBytes = Texts.utf8(itemId, "itemId", false);
    try {
      synchronized (lock) {
        return Native.isWished(store(), kindBytes, idBytes) == 1;
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** The number of entries. */
  public int size() {
    try {
      synchronized (lock) {
        return Native.count(store());
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** True when the wishlist holds no entry. */
  public boolean isEmpty() {
    return size() == 0;
  }

  /** The entries in store order, as they are when the iteration starts. */
  @Override
  public Iterator<Entry> iterator() {
    return export().items().iterator();
  }

  /** The whole wishlist as the library's JSON text: {"total":N,"items":[...]}. */
  public String exportJson() {
    byte[] text;
    try {
      synchronized (lock) {
        text = Native.exportJson(store());
      }
    } finally {
      Reference.reachabilityFence(this);
    }
    if (text == null) throw new OrvelException("cannot export the wishlist (out of memory)", "");
    return Texts.string(text);
  }

  /** The whole wishlist, parsed: its entry count and its entries in store order. */
  public Export export() {
    return Export.parse(exportJson());
  }

  /** True once close() has run. */
  public boolean isClosed() {
    return handles.closed();
  }

  /** Releases the native memory; harmless when already closed. */
  @Override
  public void close() {
    cleanable.clean();
  }

  /** "Wishlist[3 entries]", or "Wishlist[closed]": never throws. */
  @Override
  public String toString() {
    String name = getClass().getSimpleName();
    // One lock for the whole text: its counts are of one state.
    synchronized (lock) {
      return describe(name);
    }
  }

  private String describe(String name) {
    try {
      int n = size();
      return name + "[" + n + (n == 1 ? " entry" : " entries") + details() + "]";
    } catch (IllegalStateException closed) {
      return name + "[closed]";
    }
  }

  /** What toString adds after the entry count. */
  String details() {
    return "";
  }
}
