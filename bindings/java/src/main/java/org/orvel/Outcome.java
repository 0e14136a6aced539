// SPDX-License-Identifier: MIT
package org.orvel;

/** What became of a journal's request, as {@link SyncedWishlist#report} takes it. */
public enum Outcome {
  /** The service applied it (a 2xx answer). */
  ACCEPTED(1),
  /** The service refused it for good (a 4xx answer but 408 and 429): the store is put back. */
  REJECTED(2),
  /**
   * It certainly did not reach the service (the connection was refused, the host unknown), or the
   * service said "try again" (408, 429, 5xx): it will be sent again.
   */
  FAILED(3),
  /**
   * It may have reached the service (a deadline passed, or the connection broke after it was
   * written): it will be sent again, and the journal watches for it landing late.
   */
  UNKNOWN(4);

  private final int code;

  Outcome(int code) {
    this.code = code;
  }

  /** The library's number for it (ORVEL_SYNC_ACCEPTED, _REJECTED, _FAILED, _UNKNOWN). */
  public int code() {
    return code;
  }
}
