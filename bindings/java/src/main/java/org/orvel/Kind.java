// SPDX-License-Identifier: MIT
package org.orvel;

/** The four kinds of wished entry, each with the text the library and the service use. */
public enum Kind {
  TRACK("track"),
  ALBUM("album"),
  ARTIST("artist"),
  PLAYLIST("playlist");

  private final String text;

  Kind(String text) {
    this.text = text;
  }

  /** The kind as the library spells it: "track", "album", "artist" or "playlist". */
  public String text() {
    return text;
  }

  /**
   * The kind spelled exactly so (case-sensitive, as the library reads it). Throws
   * IllegalArgumentException for any other text, NullPointerException for null.
   */
  public static Kind of(String text) {
    if (text == null) throw new NullPointerException("kind must not be null");
    for (Kind kind : values()) {
      if (kind.text.equals(text)) return kind;
    }
    throw new IllegalArgumentException("invalid kind \"" + text + "\": not track, album, artist or playlist");
  }
}
