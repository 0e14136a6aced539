// SPDX-License-Identifier: MIT
package org.orvel;

/** Where an entry stands in the journal: {@link EntryStatus#state()}. */
public enum EntryState {
  /** Nothing held: the store shows the service's state. */
  SYNCED,
  UNSENT,
  IN_FLIGHT,
  /** The newest change was accepted; a list fetched since will confirm it. */
  CONFIRMING,
  /** Nothing held, but a request reported {@link Outcome#UNKNOWN} may still land. */
  UNCERTAIN;

  /** The library's number for it (ORVEL_SYNC_SYNCED, _UNSENT, _IN_FLIGHT, _CONFIRMING, _UNCERTAIN). */
  public int code() {
    return ordinal();
  }

  static EntryState of(int code) {
    return values()[code];
  }
}
