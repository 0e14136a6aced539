// SPDX-License-Identifier: MIT
package org.orvel;

import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Objects;

/** A whole wishlist, parsed: its entry count and its entries in store order. */
public record Export(int total, List<Entry> items) {
  public Export {
    items = List.copyOf(Objects.requireNonNull(items, "items"));
  }

  /** The library's export text, parsed. */
  static Export parse(String json) {
    Map<String, Object> root = Json.object(json);
    Object total = root.get("total");
    Object items = root.get("items");
    if (!(total instanceof Long) || !(items instanceof List)) {
      throw new IllegalStateException("the library wrote an export this package cannot read");
    }
    List<Entry> entries = new ArrayList<>();
    for (Object item : (List<?>) items) entries.add(Entry.of(item));
    return new Export(Math.toIntExact((Long) total), entries);
  }
}
