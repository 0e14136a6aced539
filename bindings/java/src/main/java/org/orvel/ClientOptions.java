// SPDX-License-Identifier: MIT
package org.orvel;

import java.net.http.HttpClient;
import java.time.Duration;
import java.util.Map;
import java.util.Objects;
import java.util.concurrent.Executor;
import java.util.function.Supplier;
import java.util.random.RandomGenerator;

/**
 * How a {@link WishlistClient} talks to the service, retries and delivers its events. Immutable:
 * each {@code with} method returns a changed copy of {@link #defaults()}, whose values are the
 * DEFAULT_ constants.
 */
public final class ClientOptions {
  /** The whole wish request, connect to last byte. */
  public static final Duration DEFAULT_REQUEST_TIMEOUT = Duration.ofSeconds(10);
  /** The whole list response. */
  public static final Duration DEFAULT_LIST_TIMEOUT = Duration.ofSeconds(30);
  /** A larger list response fails the refresh and nothing is loaded. */
  public static final long DEFAULT_MAX_RESPONSE_BYTES = 64L * 1024 * 1024;
  /** Requests at once; never two for one entry. */
  public static final int DEFAULT_MAX_IN_FLIGHT = 4;
  /** The backoff: delay = random(0, min(cap, base * 2^attempts)). */
  public static final Duration DEFAULT_BACKOFF_BASE = Duration.ofSeconds(1);
  public static final Duration DEFAULT_BACKOFF_CAP = Duration.ofMinutes(5);
  /** Consecutive connection failures before the client is offline (then one probe per backoff cap). */
  public static final int DEFAULT_OFFLINE_AFTER = 3;
  /** A background refresh when nothing else happens. */
  public static final Duration DEFAULT_REFRESH_INTERVAL = Duration.ofMinutes(15);

  private static final ClientOptions DEFAULTS = new ClientOptions(DEFAULT_REQUEST_TIMEOUT, DEFAULT_LIST_TIMEOUT,
      DEFAULT_MAX_RESPONSE_BYTES, DEFAULT_MAX_IN_FLIGHT, DEFAULT_BACKOFF_BASE, DEFAULT_BACKOFF_CAP,
      DEFAULT_OFFLINE_AFTER, DEFAULT_REFRESH_INTERVAL, Map::of, null, null, null);

  final Duration requestTimeout;
  final Duration listTimeout;
  final long maxResponseBytes;
  final int maxInFlight;
  final Duration backoffBase;
  final Duration backoffCap;
  final int offlineAfter;
  final Duration refreshInterval;
  final Supplier<Map<String, String>> headers;
  /** null: a single-thread executor of the client's own. */
  final Executor events;
  /** null: a new HttpClient with the platform's TLS. */
  final HttpClient.Builder http;
  /** null: a new SplittableRandom seeded by the platform. */
  final RandomGenerator random;

  private ClientOptions(Duration requestTimeout, Duration listTimeout, long maxResponseBytes, int maxInFlight,
      Duration backoffBase, Duration backoffCap, int offlineAfter, Duration refreshInterval,
      Supplier<Map<String, String>> headers, Executor events, HttpClient.Builder http, RandomGenerator random) {
    this.requestTimeout = positive(requestTimeout, "requestTimeout");
    this.listTimeout = positive(listTimeout, "listTimeout");
    if (maxResponseBytes < 1) throw new IllegalArgumentException("maxResponseBytes must be at least 1");
    this.maxResponseBytes = maxResponseBytes;
    if (maxInFlight < 1) throw new IllegalArgumentException("maxInFlight must be at least 1");
    this.maxInFlight = maxInFlight;
    this.backoffBase = positive(backoffBase, "backoffBase");
    this.backoffCap = positive(backoffCap, "backoffCap");
    if (offlineAfter < 1) throw new IllegalArgumentException("offlineAfter must be at least 1");
    this.offlineAfter = offlineAfter;
    this.refreshInterval = positive(refreshInterval, "refreshInterval");
    this.headers = Objects.requireNonNull(headers, "headers");
    this.events = events;
    this.http = http;
    this.random = random;
  }

  private static Duration positive(Duration d, String name) {
    Objects.requireNonNull(d, name);
    if (d.isNegative() || d.isZero()) throw new IllegalArgumentException(name + " must be positive");
    return d;
  }

  /** The defaults of every option. */
  public static ClientOptions defaults() {
    return DEFAULTS;
  }

  public ClientOptions withRequestTimeout(Duration d) {
    return new ClientOptions(d, listTimeout, maxResponseBytes, maxInFlight, backoffBase, backoffCap, offlineAfter,
        refreshInterval, headers, events, http, random);
  }

  public ClientOptions withListTimeout(Duration d) {
    return new ClientOptions(requestTimeout, d, maxResponseBytes, maxInFlight, backoffBase, backoffCap, offlineAfter,
        refreshInterval, headers, events, http, random);
  }

  public ClientOptions withMaxResponseBytes(long n) {
    return new ClientOptions(requestTimeout, listTimeout, n, maxInFlight, backoffBase, backoffCap, offlineAfter,
        refreshInterval, headers, events, http, random);
  }

  public ClientOptions withMaxInFlight(int n) {
    return new ClientOptions(requestTimeout, listTimeout, maxResponseBytes, n, backoffBase, backoffCap, offlineAfter,
        refreshInterval, headers, events, http, random);
  }

  /** The backoff's base and cap (the cap is also the offline probe's period). */
  public ClientOptions withBackoff(Duration base, Duration cap) {
    return new ClientOptions(requestTimeout, listTimeout, maxResponseBytes, maxInFlight, base, cap, offlineAfter,
        refreshInterval, headers, events, http, random);
  }

  public ClientOptions withOfflineAfter(int n) {
    return new ClientOptions(requestTimeout, listTimeout, maxResponseBytes, maxInFlight, backoffBase, backoffCap, n,
        refreshInterval, headers, events, http, random);
  }

  public ClientOptions withRefreshInterval(Duration d) {
    return new ClientOptions(requestTimeout, listTimeout, maxResponseBytes, maxInFlight, backoffBase, backoffCap,
        offlineAfter, d, headers, events, http, random);
  }

  /**
   * Headers added to every request, asked for just before each one is sent (a bearer token that
   * changes: {@code () -> Map.of("Authorization", "Bearer " + tokens.current())}). Their values
   * are never logged nor put in an exception's message.
   */
  public ClientOptions withHeaders(Supplier<Map<String, String>> provider) {
    return new ClientOptions(requestTimeout, listTimeout, maxResponseBytes, maxInFlight, backoffBase, backoffCap,
        offlineAfter, refreshInterval, provider, events, http, random);
  }

  /** Where the events run (the client's own single thread by default); never called under the lock. */
  public ClientOptions withEventExecutor(Executor executor) {
    return new ClientOptions(requestTimeout, listTimeout, maxResponseBytes, maxInFlight, backoffBase, backoffCap,
        offlineAfter, refreshInterval, headers, Objects.requireNonNull(executor, "executor"), http, random);
  }

  /**
   * The HttpClient builder to start from (an SSLContext, a proxy, an authenticator); the client
   * sets its redirect policy to NEVER and follows same-origin redirects itself.
   */
  public ClientOptions withHttpClient(HttpClient.Builder builder) {
    return new ClientOptions(requestTimeout, listTimeout, maxResponseBytes, maxInFlight, backoffBase, backoffCap,
        offlineAfter, refreshInterval, headers, events, Objects.requireNonNull(builder, "builder"), random);
  }

  /** The source of the backoff's jitter (seeded, for a run that reproduces). */
  public ClientOptions withRandom(RandomGenerator generator) {
    return new ClientOptions(requestTimeout, listTimeout, maxResponseBytes, maxInFlight, backoffBase, backoffCap,
        offlineAfter, refreshInterval, headers, events, http, Objects.requireNonNull(generator, "generator"));
  }

  public Duration requestTimeout() {
    return requestTimeout;
  }

  public Duration listTimeout() {
    return listTimeout;
  }

  public long maxResponseBytes() {
    return maxResponseBytes;
  }

  public int maxInFlight() {
    return maxInFlight;
  }

  public Duration backoffBase() {
    return backoffBase;
  }

  public Duration backoffCap() {
    return backoffCap;
  }

  public int offlineAfter() {
    return offlineAfter;
  }

  public Duration refreshInterval() {
    return refreshInterval;
  }
}
