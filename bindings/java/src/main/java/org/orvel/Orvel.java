package org.orvel;

import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.List;

/**
 * liborvel's functions that need no store: versions, the self-test and the two message
 * builders. Texts cross as UTF-8 with their exact lengths; a null base URL, title or artist is
 * an absent text, as in C; a null kind or item id throws NullPointerException.
 */
public final class Orvel {
  /** The interface version this package is written for. */
  public static final int ABI_VERSION = Native.ABI_VERSION;

  /** The four kinds of entry, exactly as the library spells them. */
  public static final List<String> KINDS = List.of("track", "album", "artist", "playlist");

  private Orvel() {}

  /** The library's version text, such as "1.0.0". */
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

  /** True when kind is one of {@link #KINDS}, exactly (case-sensitive). */
  public static boolean validateKind(String kind) {
    byte[] bytes = utf8(kind, "kind", false);
    Native.load();
    return Native.validateKind(bytes) == 0;
  }

  /** The URL that lists the user's wishes; a null or empty base selects the built-in default. */
  public static String buildMineUrl(String baseUrl) {
    byte[] base = utf8(baseUrl, "baseUrl", true);
    Native.load();
    return text(Native.buildMineUrl(base), "cannot build the list URL (out of memory)", false);
  }

  /**
   * The JSON envelope of the POST that adds ({@code add} true) or removes one wish, exactly as
   * the library wrote it. Throws OrvelException with reason "invalid kind" or "empty item_id"
   * when a check fails, and with reason "" when memory runs out.
   */
  public static String buildWishRequest(
      boolean add, String kind, String itemId, String title, String artist, String baseUrl) {
    byte[] request = buildWishRequest(add, utf8(kind, "kind", false), utf8(itemId, "itemId", false),
        utf8(title, "title", true), utf8(artist, "artist", true), utf8(baseUrl, "baseUrl", true));
    return new String(request, StandardCharsets.UTF_8);
  }

  /**
   * The same with texts given as UTF-8 bytes, passed unchanged (no NUL bytes), and the result
   * as bytes. Throws OrvelException with reason "" also when a text is not valid UTF-8.
   */
  public static byte[] buildWishRequest(
      boolean add, byte[] kind, byte[] itemId, byte[] title, byte[] artist, byte[] baseUrl) {
    requireText(kind, "kind", false);
    requireText(itemId, "itemId", false);
    requireText(title, "title", true);
    requireText(artist, "artist", true);
    requireText(baseUrl, "baseUrl", true);
    Native.load();
    byte[] request = Native.buildWishRequest(baseUrl, add, kind, itemId, title, artist);
    if (request == null) throw new OrvelException("cannot build the wish request", lastError());
    return request;
  }

  // ---- shared with Wishlist ---------------------------------------------------------------

  /** The calling thread's library error text. */
  static String lastError() {
    return new String(Native.lastError(), StandardCharsets.UTF_8);
  }

  /** A returned text as a String, or OrvelException when it is absent. */
  static String text(byte[] bytes, String what, boolean withError) {
    if (bytes == null) throw new OrvelException(what, withError ? lastError() : "");
    return new String(bytes, StandardCharsets.UTF_8);
  }

  /**
   * The UTF-8 form of a text argument, or null for an absent optional one. A lone surrogate has
   * no UTF-8 form (String.getBytes would silently write '?'), and a NUL cannot cross as a C text:
   * both throw IllegalArgumentException.
   */
  static byte[] utf8(String value, String name, boolean optional) {
    if (value == null) {
      if (optional) return null;
      throw new NullPointerException(name + " must not be null");
    }
    ByteBuffer encoded;
    try {
      encoded = StandardCharsets.UTF_8.newEncoder()
          .onMalformedInput(CodingErrorAction.REPORT)
          .onUnmappableCharacter(CodingErrorAction.REPORT)
          .encode(CharBuffer.wrap(value));
    } catch (CharacterCodingException e) {
      throw new IllegalArgumentException(name + " holds a lone surrogate: it has no UTF-8 form", e);
    }
    byte[] bytes = new byte[encoded.remaining()];
    encoded.get(bytes);
    requireText(bytes, name, optional);
    return bytes;
  }

  static void requireText(byte[] bytes, String name, boolean optional) {
    if (bytes == null) {
      if (optional) return;
      throw new NullPointerException(name + " must not be null");
    }
    for (byte b : bytes) {
      if (b == 0) throw new IllegalArgumentException(name + " must not contain NUL characters");
    }
  }
}
