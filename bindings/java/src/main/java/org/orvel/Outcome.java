package org.orvel;

/** What became of a journal's request, as {@link SyncedWishlist#report} takes it. */
public enum Outcome {
  /** The service applied it (a 2xx answer). */
  ACCEPTED(1),
  /** The service refused it for good (a 4xx answer): the store is put back. */
  REJECTED(2),
  /** No answer, or "try again" (5xx, a timeout): it will be sent again. */
  FAILED(3);

  private final int code;

  Outcome(int code) {
    this.code = code;
  }

  /** The library's number for it (ORVEL_SYNC_ACCEPTED, _REJECTED, _FAILED). */
  public int code() {
    return code;
  }
}
