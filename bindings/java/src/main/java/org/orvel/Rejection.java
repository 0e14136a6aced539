// SPDX-License-Identifier: MIT
package org.orvel;

import java.util.Objects;

/**
 * A change the service refused for good (a 4xx answer but 408 and 429): the entry, what was
 * asked (wished or not), the status code, and what that did to the store.
 */
public record Rejection(Kind kind, String itemId, boolean wished, int status, StoreChange change) {
  public Rejection {
    Objects.requireNonNull(kind, "kind");
    Objects.requireNonNull(itemId, "itemId");
    Objects.requireNonNull(change, "change");
  }
}
