// SPDX-License-Identifier: MIT
package org.orvel;

import java.util.List;

/**
 * A liborvel or liborvel-sync call failed. {@link #reason()} is the library's own reason text, or
 * "" when the failing call has none. A reason only ever describes the call that failed.
 */
public class OrvelException extends RuntimeException {
  private static final long serialVersionUID = 1L;

  // The reasons of liborvel (orvel.h).
  public static final String INVALID_KIND = "invalid kind";
  public static final String EMPTY_ITEM_ID = "empty item_id";
  public static final String NULL_ARG = "null arg";
  public static final String INVALID_JSON = "invalid json";

  // The reasons liborvel-sync adds (orvel_sync.h).
  public static final String INVALID_UTF8 = "invalid utf-8";
  public static final String INVALID_ARGUMENT = "invalid argument";
  public static final String UNKNOWN_OPERATION = "unknown operation";
  public static final String UNKNOWN_TOKEN = "unknown token";
  public static final String STALE_RESPONSE = "stale response";
  public static final String INVALID_JOURNAL = "invalid journal";
  public static final String UNSUPPORTED_VERSION = "unsupported version";
  public static final String JOURNAL_NOT_EMPTY = "journal not empty";
  public static final String INVALID_SNAPSHOT = "invalid snapshot";
  public static final String OUT_OF_MEMORY = "out of memory";

  /** Every reason liborvel's error text can hold, besides "". */
  public static final List<String> REASONS = List.of(INVALID_KIND, EMPTY_ITEM_ID, NULL_ARG, INVALID_JSON);

  /** Every reason liborvel-sync gives, in its header's order. */
  public static final List<String> SYNC_REASONS = List.of(NULL_ARG, INVALID_KIND, EMPTY_ITEM_ID, INVALID_UTF8,
      INVALID_ARGUMENT, UNKNOWN_OPERATION, UNKNOWN_TOKEN, STALE_RESPONSE, INVALID_JSON, INVALID_JOURNAL,
      UNSUPPORTED_VERSION, JOURNAL_NOT_EMPTY, INVALID_SNAPSHOT, OUT_OF_MEMORY);

  private final String reason;

  OrvelException(String what, String reason) {
    super(reason.isEmpty() ? what : what + ": " + reason);
    this.reason = reason;
  }

  /** The library's reason for the failure (one of {@link #SYNC_REASONS}), or "". */
  public String reason() {
    return reason;
  }
}
