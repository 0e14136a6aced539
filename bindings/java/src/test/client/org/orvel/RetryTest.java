// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.net.InetAddress;
import java.net.ServerSocket;
import java.nio.file.Path;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.SplittableRandom;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** Backoff, Retry-After, a poison item, going offline and coming back. */
class RetryTest {
  private static final Duration PASS = Duration.ofSeconds(60);

  static Stream<Arguments> retryAfterHeaders() {
    Instant now = Instant.parse("2026-03-01T10:00:00Z");
    Duration cap = Duration.ofMinutes(5);
    return Stream.of(
        Arguments.of("3", now, cap, Optional.of(Duration.ofSeconds(3))),
        Arguments.of(" 0 ", now, cap, Optional.of(Duration.ZERO)),
        Arguments.of("Sun, 01 Mar 2026 10:00:30 GMT", now, cap, Optional.of(Duration.ofSeconds(30))),
        Arguments.of("Sun, 01 Mar 2026 09:00:00 GMT", now, cap, Optional.of(Duration.ZERO)),  // past
        Arguments.of("86400", now, cap, Optional.of(cap)),
        Arguments.of("99999999999999999999", now, cap, Optional.of(cap)),
        Arguments.of("-1", now, cap, Optional.empty()),
        Arguments.of("soon", now, cap, Optional.empty()),
        Arguments.of(null, now, cap, Optional.empty()));
  }

  @ParameterizedTest
  @MethodSource("retryAfterHeaders")
  void retryAfterIsReadAsSecondsOrAnHttpDateAndCapped(String header, Instant now, Duration cap,
      Optional<Duration> wait) {
    assertEquals(wait, Backoff.retryAfter(header, now, cap));
  }

  @Test
  void theBackoffIsFullJitterUnderACappedDoubling() {
    Duration base = Duration.ofMillis(100);
    Duration cap = Duration.ofSeconds(1);
    SplittableRandom random = new SplittableRandom(1);
    long[] ceilings = {100, 200, 400, 800, 1000, 1000, 1000};
    for (int attempts = 0; attempts < ceilings.length; attempts++) {
      long most = 0;
      for (int i = 0; i < 2000; i++) {
        long d = Backoff.delayNanos(attempts, base, cap, random);
        assertTrue(d >= 0 && d <= ceilings[attempts] * 1_000_000, attempts + ": " + d);
        most = Math.max(most, d);
      }
      // The whole range is used, not a fixed delay.
      assertTrue(most > ceilings[attempts] * 900_000L, attempts + ": at most " + most);
    }
    assertTrue(Backoff.delayNanos(Long.MAX_VALUE, base, cap, random) <= cap.toNanos());
  }

  @Test
  void retryAfterIsHonouredAndAHeldChangeIsNotSentBeforeItsTime(@TempDir Path dir) throws Exception {
    try (ServiceProcess service = new ServiceProcess()) {
      service.control("{\"faults\": [{\"action\": \"throttle\", \"itemId\": \"ar-thr\", \"retryAfter\": 2}]}");
      ClientOptions options = ClientOptions.defaults().withBackoff(Duration.ofMillis(1), Duration.ofSeconds(10));
      try (WishlistClient client = new WishlistClient(service.baseUrl, dir, options)) {
        client.setWished(Kind.ARTIST, "ar-thr", true, "Throttled", "");
        assertEquals(1, client.syncNow(PASS).failed());
        Status waiting = client.status(Kind.ARTIST, "ar-thr");
        assertEquals(Status.State.PENDING, waiting.state());
        Instant at = waiting.nextAttemptAt().orElseThrow();
        SyncSummary early = client.syncNow(PASS);
        if (Instant.now().isBefore(at)) assertEquals(0, early.sent(), "held until its Retry-After");
        long ms = Duration.between(Instant.now(), at).toMillis();
        if (ms > 0) Thread.sleep(ms + 20);
        assertEquals(1, client.syncNow(PASS).accepted());
      }
      List<Map<String, Object>> seen = service.requestsFor("ar-thr");
      assertEquals(List.of(429L, 204L), seen.stream().map(r -> r.get("status")).toList());
      long waited = (Long) seen.get(1).get("time") - (Long) seen.get(0).get("time");
      assertTrue(waited >= 1990, "waited " + waited + " ms");
    }
  }

  @Test
  void anItemTheServiceFailsForEverNeverDelaysTheOthers(@TempDir Path dir) throws Exception {
    try (ServiceProcess service = new ServiceProcess()) {
      service.control("{\"faults\": [{\"action\": \"error\", \"itemId\": \"tr-poison\", \"times\": null}]}");
      // A long backoff: the poison item is kept back for up to a minute after each failure.
      ClientOptions options = ClientOptions.defaults().withBackoff(Duration.ofSeconds(30), Duration.ofMinutes(1))
          .withMaxInFlight(2);
      try (WishlistClient client = new WishlistClient(service.baseUrl, dir, options)) {
        client.setWished(Kind.TRACK, "tr-poison", true);
        SyncSummary first = client.syncNow(PASS);
        assertEquals(List.of(1, 1), List.of(first.sent(), first.failed()));
        for (int round = 0; round < 3; round++) {
          List<String> ids = new ArrayList<>();
          for (int i = 0; i < 5; i++) {
            ids.add("tr-" + round + "-" + i);
            client.setWished(Kind.TRACK, ids.get(i), true);
          }
          SyncSummary s = client.syncNow(PASS);
          assertEquals(List.of(5, 5, 0), List.of(s.sent(), s.accepted(), s.failed()), s.toString());
          for (String id : ids) assertEquals(Status.State.SYNCED, client.status(Kind.TRACK, id).state());
          assertEquals(Status.State.PENDING, client.status(Kind.TRACK, "tr-poison").state());
        }
        // A newer intent for the held item replaces it at once, and is sent (and fails) itself.
        client.setWished(Kind.TRACK, "tr-poison", false);
        SyncSummary s = client.syncNow(PASS);
        assertEquals(List.of(1, 1), List.of(s.sent(), s.failed()), s.toString());
        assertEquals(1, client.pending());
      }
      assertEquals(List.of("add", "remove"), service.requestsFor("tr-poison").stream()
          .map(r -> Json.asObject(r.get("wish")).get("op")).toList());
    }
  }

  @Test
  void aServiceThatCannotBeReachedIsProbedOncePerBackoffCapUntilItIsBack(@TempDir Path dir) throws Exception {
    int port;
    try (ServerSocket free = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
      port = free.getLocalPort();  // nothing listens there once it is closed
    }
    AtomicInteger requests = new AtomicInteger();
    List<ClientState> states = new java.util.concurrent.CopyOnWriteArrayList<>();
    Duration cap = Duration.ofMillis(500);
    ClientOptions options = ClientOptions.defaults().withBackoff(Duration.ofMillis(10), cap).withOfflineAfter(3)
        .withEventExecutor(Runnable::run).withHeaders(() -> {
          requests.incrementAndGet();
          return Map.of("Authorization", "Bearer secret-token");
        });
    try (WishlistClient client = new WishlistClient("http://127.0.0.1:" + port, dir, options)) {
      client.onState(states::add);
      for (int i = 0; i < 6; i++) client.setWished(Kind.TRACK, "tr-" + i, true);
      SyncSummary s = client.syncNow(PASS);
      assertEquals(ClientState.OFFLINE, client.state(), s.toString());
      assertEquals(s.sent(), s.failed());
      assertTrue(s.problems().stream().allMatch(p -> p.contains("cannot connect") && !p.contains("secret")), s.toString());
      assertTrue(client.status(Kind.TRACK, "tr-0").attempts() >= 1);
      // Offline: an explicit pass makes one request, a probe (a change that is due, or the list), not the whole queue.
      requests.set(0);
      SyncSummary probed = client.syncNow(PASS);
      assertEquals(1, requests.get(), probed.toString());
      // In the background: about one probe per cap, however long it runs.
      requests.set(0);
      int passesBefore = java.util.Collections.frequency(states, ClientState.SYNCING);
      long started = System.nanoTime();
      client.start();
      client.setWished(Kind.TRACK, "tr-6", true);  // a change while offline waits for the probe too
      Thread.sleep(1600);
      long elapsed = System.nanoTime() - started;
      int probes = requests.get();
      int passes = java.util.Collections.frequency(states, ClientState.SYNCING) - passesBefore;
      assertTrue(probes <= elapsed / cap.toNanos() + 2, probes + " probes in " + elapsed / 1_000_000 + " ms");
      assertTrue(passes <= elapsed / cap.toNanos() + 3, passes + " passes in " + elapsed / 1_000_000 + " ms: no spinning");
      // The service comes back on that port: the next probe finds it, and everything goes.
      try (ServiceProcess service = new ServiceProcess("--port", Integer.toString(port))) {
        for (int i = 0; i < 1200 && client.pending() > 0; i++) Thread.sleep(50);
        assertEquals(0, client.pending());
        assertEquals(7, service.keys().size());
        client.stop();
      }
    }
    assertTrue(states.containsAll(List.of(ClientState.SYNCING, ClientState.OFFLINE, ClientState.IDLE,
        ClientState.CLOSED)), states.toString());
  }
}
