// SPDX-License-Identifier: MIT
'use strict';
// When to try again: exponential backoff with full jitter, and the service's
// own Retry-After, which is honoured whenever it asks for longer.

// setTimeout takes at most 2^31 - 1 ms; a longer Retry-After is clamped to it.
const LONGEST_WAIT_MS = 2 ** 31 - 1;

/** A delay in ms, drawn from [0, min(capMs, baseMs * 2^attempts)). */
function backoffDelay(attempts, baseMs, capMs, random = Math.random) {
  const ceiling = Math.min(capMs, baseMs * 2 ** Math.min(attempts, 60));
  return Math.floor(random() * ceiling);
}

/**
 * A Retry-After value (delay-seconds or an HTTP date) as ms from nowMs, or null
 * when absent or unreadable. A date in the past means "now" (0).
 */
function retryAfterMs(value, nowMs) {
  if (typeof value !== 'string') return null;
  const trimmed = value.trim();
  if (/^\d+$/.test(trimmed)) return Math.min(Number(trimmed) * 1000, LONGEST_WAIT_MS);
  // An HTTP date always names its weekday and its zone ("Sun, 06 Nov 1994 08:49:37 GMT").
  if (!/^[A-Za-z]{3},? .*(GMT|UTC)$/.test(trimmed)) return null;
  const at = Date.parse(trimmed);
  if (Number.isNaN(at)) return null;
  return Math.min(Math.max(0, at - nowMs), LONGEST_WAIT_MS);
}

module.exports = { LONGEST_WAIT_MS, backoffDelay, retryAfterMs };
