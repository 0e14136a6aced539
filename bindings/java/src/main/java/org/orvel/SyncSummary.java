// SPDX-License-Identifier: MIT
package org.orvel;

import java.time.Instant;
import java.util.List;
import java.util.Objects;
import java.util.Optional;

/**
 * What one pass did: the requests sent and their outcomes, whether the list was fetched and
 * loaded, when the next pass is due (empty when nothing waits but the refresh interval), and why
 * requests or the refresh failed (texts without any header or token).
 */
public record SyncSummary(int sent, int accepted, int rejected, int failed, int unknown, boolean refreshed,
    Optional<Instant> nextPassAt, List<String> problems) {
  public SyncSummary {
    Objects.requireNonNull(nextPassAt, "nextPassAt");
    problems = List.copyOf(problems);
  }
}
