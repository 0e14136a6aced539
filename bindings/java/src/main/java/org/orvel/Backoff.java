// SPDX-License-Identifier: MIT
package org.orvel;

import java.time.Duration;
import java.time.Instant;
import java.time.ZonedDateTime;
import java.time.format.DateTimeFormatter;
import java.time.format.DateTimeParseException;
import java.util.Optional;
import java.util.random.RandomGenerator;

/** How long a failed change waits: full jitter over a capped exponential, and Retry-After. */
final class Backoff {
  private Backoff() {}

  /** random(0, min(cap, base * 2^attempts)), in nanoseconds. */
  static long delayNanos(long attempts, Duration base, Duration cap, RandomGenerator random) {
    long capNanos = cap.toNanos();
    long ceiling = base.toNanos();
    for (long i = 0; i < attempts && ceiling < capNanos; i++) ceiling *= 2;
    ceiling = Math.min(ceiling, capNanos);
    return random.nextLong(ceiling + 1);
  }

  /**
   * What a Retry-After header asks for: delay-seconds or an HTTP date, from now; empty when it is
   * absent or unreadable (then the backoff alone counts). Never past cap.
   */
  static Optional<Duration> retryAfter(String header, Instant now, Duration cap) {
    if (header == null) return Optional.empty();
    String value = header.trim();
    Duration wait;
    if (!value.isEmpty() && value.chars().allMatch(c -> c >= '0' && c <= '9')) {
      wait = value.length() > 12 ? cap : Duration.ofSeconds(Long.parseLong(value));
    } else {
      try {
        Instant at = ZonedDateTime.parse(value, DateTimeFormatter.RFC_1123_DATE_TIME).toInstant();
        wait = Duration.between(now, at);
      } catch (DateTimeParseException unreadable) {
        return Optional.empty();
      }
    }
    if (wait.isNegative()) wait = Duration.ZERO;
    return Optional.of(wait.compareTo(cap) > 0 ? cap : wait);
  }
}
