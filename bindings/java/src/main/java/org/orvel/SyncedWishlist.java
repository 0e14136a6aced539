package org.orvel;

import java.lang.ref.Reference;
import java.util.Optional;
import java.util.OptionalInt;

/**
 * A wishlist store with its change journal (liborvel-sync): every change the user makes is kept
 * until the service has confirmed it, through refreshes, failed requests and restarts. Reading
 * is as a {@link Wishlist}'s; changes go only through {@link #setWished}, and the store is
 * refilled only through {@link #beginRefresh()} and {@link #load(long, byte[])}, so that nothing
 * changes it behind the journal's back.
 *
 * <p>The app's loop: {@link #setWished} when the user taps; {@link #nextRequest()} and, once the
 * request has been settled, {@link #report} of its outcome; {@link #save()} and
 * {@link #exportJson()} to storage after each change; {@link #restore(String, String)} after a
 * restart. Report {@link Outcome#FAILED} only once the request can no longer reach the service
 * (its connection closed, or its deadline passed and it was cancelled).
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
   * What became of the request of operation opId. Throws OrvelException with reason
   * "unknown operation" when it is not in flight (reported already, or from before a restore).
   */
  public void report(long opId, Outcome outcome) {
    if (outcome == null) throw new NullPointerException("outcome must not be null");
    try {
      synchronized (lock) {
        if (SyncNative.report(journal(), opId, outcome.code()) < 0) {
          throw failed("cannot report " + outcome + " for operation " + opId);
        }
      }
    } finally {
      Reference.reachabilityFence(this);
    }
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

  /** The journal as its JSON text, for {@link #restore(String, String)} after a restart. */
  public String save() {
    try {
      synchronized (lock) {
        byte[] text = SyncNative.export(journal());
        if (text == null) throw failed("cannot save the journal");
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
