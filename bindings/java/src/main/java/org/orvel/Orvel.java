// SPDX-License-Identifier: MIT
package org.orvel;

import java.util.Arrays;
import java.util.List;

/**
 * liborvel's functions that need no store: versions, the self-test and the two message
 * builders, and the facts this package shares with the library. Texts cross as UTF-8 with their
 * exact lengths; a null base URL, title or artist is an absent text, as in C; a null kind or
 * item id throws NullPointerException, a text with a NUL or a lone surrogate (which has no UTF-8
 * form) IllegalArgumentException.
 */
public final class Orvel {
  /** The interface version of liborvel this package is written for (ORVEL_ABI_VERSION). */
  public static final int ABI_VERSION = 1;

  /** The system property naming liborvel's JNI shim (liborvel_jni.so) or its folder. */
  public static final String LIBRARY_PATH_PROPERTY = "orvel.library.path";

  /** The system property naming liborvel-sync's JNI shim (liborvel_sync_jni.so) or its folder. */
  public static final String SYNC_LIBRARY_PATH_PROPERTY = "orvel.sync.library.path";

  /**
   * Where liborvel's JNI shim is looked for, in order: the file or folder that
   * -Dorvel.library.path names (then alone), the folder of the package's jar, java.library.path.
   * liborvel.so.1 is then found by the system loader beside the shim or on its path.
   */
  public static final List<String> LIBRARY_SEARCH_ORDER =
      List.of("-D" + LIBRARY_PATH_PROPERTY, "beside the jar", "java.library.path");

  /**
   * Where liborvel-sync's JNI shim is looked for, on the first use of a {@link SyncedWishlist}:
   * the file or folder that -Dorvel.sync.library.path names (then alone), the folder liborvel's
   * shim was loaded from, java.library.path. liborvel-sync.so.1 is then found as liborvel.so.1 is.
   */
  public static final List<String> SYNC_LIBRARY_SEARCH_ORDER =
      List.of("-D" + SYNC_LIBRARY_PATH_PROPERTY, "beside liborvel's shim", "java.library.path");

  /**
   * The four kinds, as texts.
   *
   * @deprecated use {@link Kind}: {@code Kind.values()} and {@link Kind#text()}.
   */
  @Deprecated
  public static final List<String> KINDS =
      List.of(Arrays.stream(Kind.values()).map(Kind::text).toArray(String[]::new));

  private Orvel() {}

  /** The library's version text (ORVEL_VERSION). */
  public static String version() {
    Native.load();
    return Native.version();
  }

  /** The library's interface version. */
  public static int abiVersion() {
    Native.load();
    return Native.abiVersion();
  }

  /** Runs the built-in self-test: 0 when it passes, else the first failing step (1 to 6). */
  public static int selftest() {
    Native.load();
    return Native.selftest();
  }

  /** True when kind is one of the four kinds' texts, exactly (case-sensitive). */
  public static boolean validateKind(String kind) {
    byte[] bytes = Texts.utf8(kind, "kind", false);
    Native.load();
    return Native.validateKind(bytes) == 0;
  }

  /** The URL that lists the user's wishes at the library's built-in default base URL. */
  public static String buildMineUrl() {
    return buildMineUrl(null);
  }

  /** The URL that lists the user's wishes; a null or empty base selects the built-in default. */
  public static String buildMineUrl(String baseUrl) {
    byte[] base = Texts.utf8(baseUrl, "baseUrl", true);
    Native.load();
    byte[] url = Native.buildMineUrl(base);
    if (url == null) throw new OrvelException("cannot build the list URL (out of memory)", "");
    return Texts.string(url);
  }

  /** The request that adds ({@code add} true) or removes one wish, at the default base URL. */
  public static WishRequest buildWishRequest(boolean add, Kind kind, String itemId) {
    return wishRequest(add, kind, itemId, null, null, null);
  }

  /**
   * The request that adds or removes one wish with its title and artist (null: sent as ""), at
   * the default base URL; {@link WishRequest#builder} gives another base URL. Throws
   * OrvelException with reason "empty item_id" for an empty item id.
   */
  public static WishRequest buildWishRequest(boolean add, Kind kind, String itemId, String title, String artist) {
    return wishRequest(add, kind, itemId, title, artist, null);
  }

  /**
   * The envelope text of a request, with the kind as a text.
   *
   * @deprecated use {@link #buildWishRequest(boolean, Kind, String, String, String)} or
   *     {@link WishRequest#builder}, whose {@link WishRequest#json()} is this text.
   */
  @Deprecated
  public static String buildWishRequest(
      boolean add, String kind, String itemId, String title, String artist, String baseUrl) {
    byte[] request = buildWishRequest(add, Texts.utf8(kind, "kind", false), Texts.utf8(itemId, "itemId", false),
        Texts.utf8(title, "title", true), Texts.utf8(artist, "artist", true), Texts.utf8(baseUrl, "baseUrl", true));
    return Texts.string(request);
  }

  /**
   * The envelope text of a request with its texts given as UTF-8 bytes, passed unchanged (no NUL
   * bytes), and the result as bytes. Throws OrvelException with reason "invalid kind" or
   * "empty item_id" when an argument check fails, and with reason "" when a text is not valid
   * UTF-8 or memory runs out.
   */
  public static byte[] buildWishRequest(
      boolean add, byte[] kind, byte[] itemId, byte[] title, byte[] artist, byte[] baseUrl) {
    Texts.requireText(kind, "kind", false);
    Texts.requireText(itemId, "itemId", false);
    Texts.requireText(title, "title", true);
    Texts.requireText(artist, "artist", true);
    Texts.requireText(baseUrl, "baseUrl", true);
    Native.load();
    byte[] request = Native.buildWishRequest(baseUrl, add, kind, itemId, title, artist);
    if (request == null) throw requestFailed(kind, itemId, "a text is not valid UTF-8, or memory is short");
    return request;
  }

  /** What WishRequest.Builder builds. */
  static WishRequest wishRequest(boolean add, Kind kind, String itemId, String title, String artist, String baseUrl) {
    if (kind == null) throw new NullPointerException("kind must not be null");
    byte[] kindBytes = Texts.utf8(kind.text(), "kind", false);
    byte[] idBytes = Texts.utf8(itemId, "itemId", false);
    byte[] titleBytes = Texts.utf8(title, "title", true);
    byte[] artistBytes = Texts.utf8(artist, "artist", true);
    byte[] baseBytes = Texts.utf8(baseUrl, "baseUrl", true);
    Native.load();
    byte[] request = Native.buildWishRequest(baseBytes, add, kindBytes, idBytes, titleBytes, artistBytes);
    if (request == null) throw requestFailed(kindBytes, idBytes, "out of memory");
    return WishRequest.parse(Texts.string(request));
  }

  private static OrvelException requestFailed(byte[] kind, byte[] itemId, String otherwise) {
    String reason = argumentReason(kind, itemId);
    String what = "cannot build the wish request";
    return new OrvelException(reason.isEmpty() ? what + " (" + otherwise + ")" : what, reason);
  }

  /**
   * The reason of a failed request or toggle, told by its arguments as the library checks them:
   * "invalid kind", else "empty item_id", else "" (another failure). The thread's error text is
   * not read: a request that fails for lack of memory leaves an earlier call's text there.
   */
  static String argumentReason(byte[] kind, byte[] itemId) {
    if (Native.validateKind(kind) != 0) return OrvelException.INVALID_KIND;
    return itemId.length == 0 ? OrvelException.EMPTY_ITEM_ID : "";
  }
}
