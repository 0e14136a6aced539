// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.time.Duration;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** What each answer becomes, the headers sent, and the client's arguments. */
class ClientBasicsTest {
  private static final Duration PASS = Duration.ofSeconds(60);
  private static ServiceProcess service;

  @BeforeAll
  static void startService() throws Exception {
    service = new ServiceProcess();
  }

  @AfterAll
  static void stopService() {
    service.close();
  }

  static Stream<Arguments> answers() {
    return Stream.of(
        // the fault the service makes, the outcome: accepted, rejected, failed, unknown; the store after
        Arguments.of("", List.of(1, 0, 0, 0), true),
        Arguments.of("{\"action\": \"reject\", \"status\": 404}", List.of(0, 1, 0, 0), false),
        Arguments.of("{\"action\": \"reject\", \"status\": 409}", List.of(0, 1, 0, 0), false),
        Arguments.of("{\"action\": \"reject\", \"status\": 408}", List.of(0, 0, 1, 0), true),  // "try again"
        Arguments.of("{\"action\": \"throttle\"}", List.of(0, 0, 1, 0), true),
        Arguments.of("{\"action\": \"error\", \"status\": 500}", List.of(0, 0, 1, 0), true),
        Arguments.of("{\"action\": \"error\", \"status\": 599}", List.of(0, 0, 1, 0), true),
        Arguments.of("{\"action\": \"fail-after-apply\"}", List.of(0, 0, 1, 0), true),
        Arguments.of("{\"action\": \"drop\"}", List.of(0, 0, 0, 1), true),  // after the request was written
        Arguments.of("{\"action\": \"redirect\"}", List.of(0, 0, 1, 0), true),  // another origin
        Arguments.of("{\"action\": \"redirect\", \"location\": \"/wishlist/api/wish\"}", List.of(1, 0, 0, 0), true));
  }

  @ParameterizedTest
  @MethodSource("answers")
  void eachAnswerBecomesItsOutcome(String fault, List<Integer> outcomes, boolean shown, @TempDir Path dir)
      throws Exception {
    service.control("{\"faults\": [" + fault + "]}");
    try (WishlistClient client = new WishlistClient(service.baseUrl, dir)) {
      Status before = client.setWished(Kind.ALBUM, "al-1", true, "Blue Hour", "Ines Varga");
      assertEquals(Status.State.PENDING, before.state());
      SyncSummary s = client.syncNow(PASS);
      assertEquals(outcomes, List.of(s.accepted(), s.rejected(), s.failed(), s.unknown()), s.toString());
      assertEquals(shown, client.wished(Kind.ALBUM, "al-1"));
      Status after = client.status(Kind.ALBUM, "al-1");
      Status.State expected = s.accepted() == 1 || s.rejected() == 1 ? Status.State.SYNCED : Status.State.PENDING;
      assertEquals(expected, after.state(), after.toString());
    } finally {
      service.control("{\"faults\": [], \"entries\": []}");
    }
  }

  @Test
  void theHeadersProviderIsAskedBeforeEachRequestAndNeverShown(@TempDir Path dir) throws Exception {
    service.control("{\"clearLog\": true, \"faults\": [{\"action\": \"error\", \"itemId\": \"tr-2\"}]}");
    AtomicInteger asked = new AtomicInteger();
    ClientOptions options = ClientOptions.defaults().withMaxInFlight(1).withBackoff(Duration.ofMillis(1),
        Duration.ofMillis(1)).withHeaders(() -> Map.of("X-Token", "tok-" + asked.incrementAndGet()));
    try (WishlistClient client = new WishlistClient(service.baseUrl, dir, options)) {
      client.setWished(Kind.TRACK, "tr-1", true);
      client.setWished(Kind.TRACK, "tr-2", true);
      SyncSummary s = client.syncNow(PASS);
      assertEquals(List.of(2, 1, 1), List.of(s.sent(), s.accepted(), s.failed()), s.toString());
      assertTrue(s.problems().stream().noneMatch(p -> p.contains("tok-")), s.problems().toString());
    }
    List<Object> sent = ServiceProcess.list(service.state(), "requests").stream()
        .map(r -> Json.asObject(r.get("headers")).get("X-Token")).toList();
    assertEquals(List.of("tok-1", "tok-2", "tok-3"), sent, "one call for each request, the list's included");
  }

  static Stream<Arguments> badHeaders() {
    return Stream.of(
        Arguments.of((java.util.function.Supplier<Map<String, String>>) () -> {
          throw new IllegalStateException("token secret-1 expired");
        }, "headers provider failed"),
        Arguments.of((java.util.function.Supplier<Map<String, String>>) () -> Map.of("X-Token", "secret-2\n"),
            "X-Token"),
        Arguments.of((java.util.function.Supplier<Map<String, String>>) () -> Map.of("Host", "secret-3"), "Host"));
  }

  @ParameterizedTest
  @MethodSource("badHeaders")
  void headersThatCannotBeSentFailTheRequestWithoutShowingThem(java.util.function.Supplier<Map<String, String>> headers,
      String named, @TempDir Path dir) throws Exception {
    try (WishlistClient client = new WishlistClient(service.baseUrl, dir, ClientOptions.defaults().withHeaders(headers))) {
      client.setWished(Kind.TRACK, "tr-1", true);
      SyncSummary s = client.syncNow(PASS);
      assertEquals(1, s.failed(), s.toString());
      assertTrue(s.problems().stream().anyMatch(p -> p.contains(named)), s.problems().toString());
      assertTrue(s.problems().stream().noneMatch(p -> p.contains("secret")), s.problems().toString());
      assertEquals(Status.State.PENDING, client.status(Kind.TRACK, "tr-1").state(), "it never left");
    }
  }

  @Test
  void inTheBackgroundAChangeGoesAtOnceAndNothingToDoMakesNoRequests(@TempDir Path dir) throws Exception {
    service.control("{\"clearLog\": true, \"faults\": [], \"entries\": []}");
    ClientOptions options = ClientOptions.defaults().withBackoff(Duration.ofMillis(100), Duration.ofSeconds(1));
    try (WishlistClient client = new WishlistClient(service.baseUrl, dir, options)) {
      client.start();
      client.setWished(Kind.TRACK, "tr-1", true);
      for (int i = 0; i < 600 && client.pending() > 0; i++) Thread.sleep(50);
      assertEquals(0, client.pending(), "sent and confirmed without a syncNow");
      int seen = ServiceProcess.list(service.state(), "requests").size();
      Thread.sleep(1500);  // longer than the backoff cap: nothing is due before the refresh interval
      assertEquals(seen, ServiceProcess.list(service.state(), "requests").size());
      client.stop();
      client.stop();  // harmless
    }
    List<String> paths = ServiceProcess.list(service.state(), "requests").stream()
        .map(r -> r.get("method") + " " + r.get("path").toString().replaceFirst(".*/", "")).toList();
    assertTrue(paths.contains("POST wish") && paths.size() <= 4, paths.toString());
  }

  @Test
  void argumentsAreCheckedAndAClosedClientSaysSo(@TempDir Path dir) throws Exception {
    assertThrows(IllegalArgumentException.class, () -> new WishlistClient("ftp://host", dir));
    assertThrows(IllegalArgumentException.class, () -> ClientOptions.defaults().withMaxInFlight(0));
    assertThrows(IllegalArgumentException.class, () -> ClientOptions.defaults().withRequestTimeout(Duration.ZERO));
    WishlistClient client = new WishlistClient(service.baseUrl, dir);
    client.close();
    client.close();  // harmless
    assertEquals(ClientState.CLOSED, client.state());
    assertThrows(IllegalStateException.class, () -> client.setWished(Kind.TRACK, "tr-1", true));
    assertThrows(IllegalStateException.class, () -> client.syncNow(PASS));
    assertThrows(IllegalStateException.class, client::start);
    assertFalse(dir.resolve("wishlist.snapshot.tmp").toFile().exists());
  }
}
