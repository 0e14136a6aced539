// SPDX-License-Identifier: MIT
package org.orvel;

/** What a {@link WishlistClient} is doing, as its state listeners are told. */
public enum ClientState {
  /** Nothing to send, or nothing sent yet. */
  IDLE,
  /** A pass is under way. */
  SYNCING,
  /** Changes wait for their backoff (or a Retry-After) before they are sent again. */
  BACKING_OFF,
  /** The service could not be reached several times in a row: one probe per backoff cap. */
  OFFLINE,
  /** Closed: no more events. */
  CLOSED
}
