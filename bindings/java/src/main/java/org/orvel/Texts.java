// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;

/**
 * Texts as the libraries take them: UTF-8 bytes with their exact lengths, null for an absent
 * optional text. Where a library has no answer of its own for text that is not UTF-8, a String
 * that is not well-formed UTF-16 is refused here ({@link #utf8}); where it has one (a response
 * that is not JSON, a journal's "invalid utf-8"), the String goes across so that the library
 * refuses it with its own reason ({@link #asGiven}): String.getBytes would silently turn a lone
 * surrogate into '?', so that different data than the caller's would be read.
 */
final class Texts {
  private Texts() {}

  /**
   * The UTF-8 form of a text argument, or null for an absent optional one. A lone surrogate has
   * no UTF-8 form, and a NUL cannot cross as a C text: both throw IllegalArgumentException.
   */
  static byte[] utf8(String value, String name, boolean optional) {
    if (value == null) return absent(name, optional);
    int bad = loneSurrogate(value);
    if (bad >= 0) {
      throw new IllegalArgumentException(
          name + " holds a lone surrogate at index " + bad + ": it has no UTF-8 form");
    }
    byte[] bytes = value.getBytes(StandardCharsets.UTF_8);
    requireText(bytes, name, optional);
    return bytes;
  }

  /**
   * The UTF-8 form of a text argument with each lone surrogate written as its own three bytes,
   * which no UTF-8 reader accepts: the library then refuses the text with its own reason.
   * A NUL, which cannot cross as a C text, throws IllegalArgumentException.
   */
  static byte[] asGiven(String value, String name, boolean optional) {
    if (value == null) return absent(name, optional);
    byte[] bytes = document(value, name);
    requireText(bytes, name, optional);
    return bytes;
  }

  /** A whole document (a response, a saved journal): NULs are the library's to judge. */
  static byte[] document(String value, String name) {
    if (value == null) throw new NullPointerException(name + " must not be null");
    return loneSurrogate(value) < 0 ? value.getBytes(StandardCharsets.UTF_8) : withSurrogates(value);
  }

  /** Refuses a missing required text and NULs, which cannot cross as a C text. */
  static void requireText(byte[] bytes, String name, boolean optional) {
    if (bytes == null) {
      absent(name, optional);
      return;
    }
    for (byte b : bytes) {
      if (b == 0) throw new IllegalArgumentException(name + " must not contain NUL characters");
    }
  }

  /** A text the library wrote (always UTF-8). */
  static String string(byte[] utf8) {
    return new String(utf8, StandardCharsets.UTF_8);
  }

  /** The index of the first surrogate that is not half of a pair, or -1. */
  static int loneSurrogate(String value) {
    for (int i = 0, n = value.length(); i < n; i++) {
      char c = value.charAt(i);
      if (!Character.isSurrogate(c)) continue;
      if (Character.isHighSurrogate(c) && i + 1 < n && Character.isLowSurrogate(value.charAt(i + 1))) {
        i++;
      } else {
        return i;
      }
    }
    return -1;
  }

  private static byte[] absent(String name, boolean optional) {
    if (optional) return null;
    throw new NullPointerException(name + " must not be null");
  }

  /** UTF-8, but each lone surrogate as the three bytes its code unit would take. */
  private static byte[] withSurrogates(String value) {
    ByteArrayOutputStream out = new ByteArrayOutputStream(value.length() * 3);
    for (int i = 0, n = value.length(); i < n; ) {
      int c = value.codePointAt(i);  // a lone surrogate comes back as itself
      i += Character.charCount(c);
      if (c < 0x80) {
        out.write(c);
      } else if (c < 0x800) {
        out.write(0xc0 | c >> 6);
        out.write(0x80 | c & 0x3f);
      } else if (c < 0x10000) {
        out.write(0xe0 | c >> 12);
        out.write(0x80 | c >> 6 & 0x3f);
        out.write(0x80 | c & 0x3f);
      } else {
        out.write(0xf0 | c >> 18);
        out.write(0x80 | c >> 12 & 0x3f);
        out.write(0x80 | c >> 6 & 0x3f);
        out.write(0x80 | c & 0x3f);
      }
    }
    return out.toByteArray();
  }
}
