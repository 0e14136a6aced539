// SPDX-License-Identifier: MIT
package org.orvel;

import java.util.Map;
import java.util.Objects;

/**
 * One wished entry, as iteration and {@link Wishlist#export()} give it: its kind and item id,
 * and the title and artist shown for it ("" when unknown).
 */
public record Entry(Kind kind, String itemId, String title, String artist) {
  public Entry {
    Objects.requireNonNull(kind, "kind");
    Objects.requireNonNull(itemId, "itemId");
    Objects.requireNonNull(title, "title");
    Objects.requireNonNull(artist, "artist");
  }

  /** An item of the library's export. */
  static Entry of(Object item) {
    Map<String, Object> member = Json.asObject(item);
    return new Entry(Kind.of(Json.string(member, "kind")), Json.string(member, "itemId"),
        Json.string(member, "title"), Json.string(member, "artist"));
  }
}
