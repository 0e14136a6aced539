// SPDX-License-Identifier: MIT
package org.orvel;

import java.lang.ref.Reference;
import java.util.Optional;
import java.util.OptionalInt;
import java.util.function.LongFunction;

/**
 * A wishlist store with its change journal (liborvel-sync): every change the user makes is kept
 * until the service has confirmed it, through refreshes, failed requests and restarts. Reading
 * is as a {@link Wishlist}'s; changes go only through {@link #setWished}, and the store is
 * refilled only through {@link #beginRefresh()} and {@link #load(long, byte[])}, so that nothing
 * changes it behind the journal's back.
 *
 * <p>The app's loop: {@link #setWished} when the user taps; {@link #nextRequest()} and, once the
 * request has been settled, {@link #report} of its outcome; {@link #save()} and
 * {@link #exportJson()} to storage after each change (or one {@link #snapshot()});
 * {@link #restore(String, String)} (or {@link #openSnapshot(String)}) after a restart. Report
 * {@link Outcome#FAILED} only when the request certainly did not reach the service,
 * {@link Outcome#UNKNOWN} when it may have (a deadline passed, the connection broke).
 *
 * <p>liborvel-sync is loaded on first use (see {@link Orvel#SYNC_LIBRARY_SEARCH_ORDER}): the
 * constructor throws UnsatisfiedLinkError, saying where it looked, when it cannot be. Close it
 * when done (try-with-resources); one that is never closed is released once collected. Threads
 * may share one: its calls run one at a time, and close() waits for a call in progress (later
 * calls throw IllegalStateException). Failures throw OrvelException with the journal's reason,
 * and change nothing.
 */
public final class SyncedWishlist extends StoreView {
  /** The interface version of liborvel-sync this package is written for (ORVEL_SYNC_ABI_VERSION). */
  public static final int ABI_VERSION = 1;

  /** A new empty store with an empty journal. Throws OutOfMemoryError when memory is short. */
  public SyncedWishlist() {
    super(newJournal());
  }

  private SyncedWishlist(Handles handles) {
    super(handles);
  }

  /**
   * A new object from what {@link #snapshot()} wrote before a restart: its store and its journal
   * (requests that were in flight count as reported {@link Outcome#UNKNOWN} and will be sent
   * again). Throws OrvelException, nothing made, with reason "invalid json", "invalid snapshot",
   * "invalid journal" or "unsupported version".
   */
  public static SyncedWishlist openSnapshot(byte[] text) {
    if (text == null) throw new NullPointerException("text must not be null");
    SyncNative.load();
    long[] store = new long[1];
    long journal = SyncNative.openSnapshot(text, store);
    if (journal == 0) throw failed("cannot open the snapshot");
    return new SyncedWishlist(new Handles(store[0], journal));
  }

  /** The same for a snapshot held in a String (a lone surrogate fails as "invalid json"). */
  public static SyncedWishlist openSnapshot(String text) {
    return openSnapshot(Texts.document(text, "text"));
  }

  private static Handles newJournal() {
    SyncNative.load();
    long store = Native.create();
    if (store == 0) throw new OutOfMemoryError("orvel_create: out of memory");
    long journal = SyncNative.create(store);
    if (journal == 0) {
      String reason = Texts.string(SyncNative.lastError());
      Native.destroy(store);
      throw new OutOfMemoryError("orvel_sync_create: " + reason);
    }
    return new Handles(store, journal);
  }

  /** liborvel-sync's version text (ORVEL_SYNC_VERSION). */
  public static String version() {
    SyncNative.load();
    return SyncNative.version();
  }

  /** liborvel-sync's interface version. */
  public static int abiVersion() {
    SyncNative.load();
    return SyncNative.abiVersion();
  }

  /**
   * A new object from what {@link #save()} and {@link #exportJson()} wrote before a restart: the
   * saved store is loaded, then the journal restored over it (requests that were in flight will
   * be sent again). Throws OrvelException, nothing made, with reason "invalid json" (either
   * text), "invalid journal" or "unsupported version".
   */
  public static SyncedWishlist restore(String journalText, String storeText) {
    if (journalText == null) throw new NullPointerException("journalText must not be null");
    SyncedWishlist restored = new SyncedWishlist();
    try {
      if (storeText != null) restored.loadSavedStore(Texts.document(storeText, "storeText"));
      restored.restoreJournal(Texts.document(journalText, "journalText"));
      return restored;
    } catch (RuntimeException | Error e) {
      restored.close();
      throw e;
    }
  }

  /** The same with an empty store under the journal (the next load fills it). */
  public static SyncedWishlist restore(String journalText) {
    return restore(journalText, null);
  }

  private void loadSavedStore(byte[] text) {
    try {
      synchronized (lock) {
        if (Native.load(store(), text) < 0) {
          throw new OrvelException("cannot load the saved store", Texts.string(Native.lastError()));
        }
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  private void restoreJournal(byte[] text) {
    try {
      synchronized (lock) {
        if (SyncNative.restore(journal(), text) < 0) throw failed("cannot restore the journal");
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /**
   * Records that (kind, itemId) should be wished (true) or not, and shows it in the store at
   * once. Returns the new operation's id, or 0 when the store already shows it (nothing to
   * send). Throws OrvelException with reason "empty item_id", "invalid utf-8" (a String that is
   * not well-formed UTF-16) or "out of memory".
   */
  public long setWished(Kind kind, String itemId, boolean wished, String title, String artist) {
    if (kind == null) throw new NullPointerException("kind must not be null");
    return setWished(kind.text(), itemId, wished, title, artist);
  }

  /** The same with no title or artist. */
  public long setWished(Kind kind, String itemId, boolean wished) {
    return setWished(kind, itemId, wished, null, null);
  }

  /** The same with the kind as a text: reason "invalid kind" when it is not one of the four. */
  public long setWished(String kind, String itemId, boolean wished, String title, String artist) {
    byte[] kindBytes = Texts.asGiven(kind, "kind", false);
    byte[] idBytes = Texts.asGiven(itemId, "itemId", false);
    byte[] titleBytes = Texts.asGiven(title, "title", true);
    byte[] artistBytes = Texts.asGiven(artist, "artist", true);
    try {
      synchronized (lock) {
        long id = SyncNative.set(journal(), wished, kindBytes, idBytes, titleBytes, artistBytes);
        if (id < 0) throw failed("cannot record " + kind + " " + itemId);
        return id;
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** The same with the kind as a text and no title or artist. */
  public long setWished(String kind, String itemId, boolean wished) {
    return setWished(kind, itemId, wished, null, null);
  }

  /** {@link #nextRequest(String)} at the library's built-in default base URL. */
  public Optional<PendingRequest> nextRequest() {
    return nextRequest(null);
  }

  /**
   * The request of the oldest unsent operation whose entry has nothing in flight, which is then
   * in flight until {@link #report} is given its outcome; empty when nothing can be sent.
   */
  public Optional<PendingRequest> nextRequest(String baseUrl) {
    byte[] base = Texts.asGiven(baseUrl, "baseUrl", true);
    long[] opId = new long[1];
    try {
      synchronized (lock) {
        byte[] request = SyncNative.nextRequest(journal(), base, opId);
        if (request == null) {
          String reason = Texts.string(SyncNative.lastError());
          if (opId[0] == 0 && reason.isEmpty()) return Optional.empty();
          throw new OrvelException("cannot make the next request", reason);
        }
        try {
          return Optional.of(new PendingRequest(opId[0], WishRequest.parse(Texts.string(request))));
        } catch (RuntimeException | Error e) {
          // Never sent: back to unsent, rather than in flight under an id the app never saw.
          SyncNative.report(journal(), opId[0], Outcome.FAILED.code());
          throw e;
        }
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /**
   * What became of the request of operation opId; returns what that did to the store (a refused
   * change is put back). Report {@link Outcome#FAILED} only when the request certainly did not
   * reach the service, {@link Outcome#UNKNOWN} when it may have. Throws OrvelException with
   * reason "unknown operation" when it is not in flight (reported already, or from before a
   * restore).
   */
  public StoreChange report(long opId, Outcome outcome) {
    if (outcome == null) throw new NullPointerException("outcome must not be null");
    int[] change = new int[1];
    try {
      synchronized (lock) {
        if (SyncNative.reportOutcome(journal(), opId, outcome.code(), change) < 0) {
          throw failed("cannot report " + outcome + " for operation " + opId);
        }
      }
    } finally {
      Reference.reachabilityFence(this);
    }
    return StoreChange.of(change[0]);
  }

  /** Where (kind, itemId) stands in the journal; {@link EntryState#SYNCED} when nothing is held. */
  public EntryStatus status(Kind kind, String itemId) {
    if (kind == null) throw new NullPointerException("kind must not be null");
    return status(kind.text(), itemId);
  }

  /** The same with the kind as a text: reason "invalid kind" when it is not one of the four. */
  public EntryStatus status(String kind, String itemId) {
    byte[] kindBytes = Texts.asGiven(kind, "kind", false);
    byte[] idBytes = Texts.asGiven(itemId, "itemId", false);
    long[] entry = new long[5];
    try {
      synchronized (lock) {
        if (SyncNative.entryStatus(journal(), kindBytes, idBytes, entry) < 0) {
          throw failed("cannot read the status of " + kind + " " + itemId);
        }
      }
    } finally {
      Reference.reachabilityFence(this);
    }
    Optional<Boolean> wished = entry[1] < 0 ? Optional.empty() : Optional.of(entry[1] == 1);
    return new EntryStatus(EntryState.of((int) entry[0]), wished, entry[2], entry[3], entry[4]);
  }

  /** A token for the list fetch about to start: take it before the request leaves. */
  public long beginRefresh() {
    try {
      synchronized (lock) {
        long token = SyncNative.beginRefresh(journal());
        if (token < 0) throw failed("cannot begin a refresh");
        return token;
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /**
   * Loads the list response of the fetch that token was taken for, then shows again every
   * change the response may not reflect yet. Returns the store's entry count, or empty when a
   * response fetched later has been loaded already (this one is then ignored). Throws
   * OrvelException with reason "invalid json" or "unknown token", nothing changed.
   */
  public OptionalInt load(long token, byte[] response) {
    if (response == null) throw new NullPointerException("response must not be null");
    try {
      synchronized (lock) {
        int count = SyncNative.load(journal(), token, response);
        if (count == SyncNative.STALE) return OptionalInt.empty();
        if (count < 0) throw failed("cannot load the response");
        return OptionalInt.of(count);
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** The same for a response held in a String (a lone surrogate fails as "invalid json"). */
  public OptionalInt load(long token, String response) {
    return load(token, Texts.document(response, "response"));
  }

  /**
   * The store and the journal in one JSON text, for {@link #openSnapshot(String)} after a
   * restart: one file written atomically after each change saves both.
   */
  public String snapshot() {
    return journalText(SyncNative::snapshot, "cannot take a snapshot");
  }

  /** {@link #snapshot()} as the library wrote it, UTF-8: what a file write needs, without a decode and an encode. */
  byte[] snapshotBytes() {
    try {
      synchronized (lock) {
        byte[] text = SyncNative.snapshot(journal());
        if (text == null) throw failed("cannot take a snapshot");
        return text;
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** The journal as its JSON text, for {@link #restore(String, String)} after a restart. */
  public String save() {
    return journalText(SyncNative::export, "cannot save the journal");
  }

  /** A text the journal writes of itself, or OrvelException saying what failed. */
  private String journalText(LongFunction<byte[]> write, String what) {
    try {
      synchronized (lock) {
        byte[] text = write.apply(journal());
        if (text == null) throw failed(what);
        return Texts.string(text);
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  /** The number of operations the journal holds. */
  public int held() {
    return count(SyncNative.HELD);
  }

  /** The number of operations waiting to be sent. */
  public int unsent() {
    return count(SyncNative.UNSENT);
  }

  /** The number of operations whose request is out, not yet reported. */
  public int inFlight() {
    return count(SyncNative.IN_FLIGHT);
  }

  /** The number of operations accepted, until a later refresh shows them. */
  public int confirming() {
    return count(SyncNative.CONFIRMING);
  }

  /** The number of entries a request reported unknown may still land on (not counted in held). */
  public int uncertain() {
    return count(SyncNative.UNCERTAIN);
  }

  private int count(int which) {
    try {
      synchronized (lock) {
        int n = SyncNative.count(journal(), which);
        if (n < 0) throw failed("cannot count the operations");
        return n;
      }
    } finally {
      Reference.reachabilityFence(this);
    }
  }

  @Override
  String details() {
    return ", " + held() + " held";
  }

  /** The journal's reason for the call that just failed on this thread. */
  private static OrvelException failed(String what) {
    return new OrvelException(what, Texts.string(SyncNative.lastError()));
  }
}
