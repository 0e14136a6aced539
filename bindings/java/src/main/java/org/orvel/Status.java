// SPDX-License-Identifier: MIT
package org.orvel;

import java.time.Instant;
import java.util.Objects;
import java.util.Optional;

/**
 * Where one entry stands in a {@link WishlistClient}: its state, how often its newest change was
 * handed out to be sent, and when the client tries it next (empty when it is not waiting).
 */
public record Status(State state, long attempts, Optional<Instant> nextAttemptAt) {
  public Status {
    Objects.requireNonNull(state, "state");
    Objects.requireNonNull(nextAttemptAt, "nextAttemptAt");
  }

  /** An entry's state. */
  public enum State {
    /** Nothing held: the store shows the service's state. */
    SYNCED,
    /** Not sent yet, or waiting for its backoff. */
    PENDING,
    /** Its request is out. */
    SENDING,
    /** Accepted; the next refresh confirms it. */
    CONFIRMING,
    /** Nothing held, but a request whose outcome is unknown may still land. */
    UNCERTAIN
  }
}
