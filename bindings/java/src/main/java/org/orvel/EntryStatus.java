// SPDX-License-Identifier: MIT
package org.orvel;

import java.util.Objects;
import java.util.Optional;

/**
 * One entry's state in the journal, from {@link SyncedWishlist#status}: where it stands, the
 * user's newest intent (empty when {@link EntryState#SYNCED}), the newest operation held for it
 * (0 when none is), how often that operation's request was handed out, and how many requests
 * reported {@link Outcome#UNKNOWN} may still land on it.
 */
public record EntryStatus(EntryState state, Optional<Boolean> wished, long opId, long attempts, long uncertain) {
  public EntryStatus {
    Objects.requireNonNull(state, "state");
    Objects.requireNonNull(wished, "wished");
  }
}
