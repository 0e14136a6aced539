// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.SplittableRandom;
import java.util.TreeSet;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The clients' shared scenario against the sample service: every fault it can be ordered to make,
 * with two restarts from the saved state in the middle. At the end the store is the service's set
 * (but the item the service fails for ever), nothing is held but that item's change, and the
 * user's last intent holds everywhere the service accepts it.
 */
class ConformanceTest {
  // For the deliberately late cases only; every late answer comes well after it.
  private static final Duration SHORT = Duration.ofSeconds(3);
  private static final Duration PASS = Duration.ofSeconds(60);

  private static ClientOptions options(Duration request, Duration list) {
    return ClientOptions.defaults().withRequestTimeout(request).withListTimeout(list)
        .withBackoff(Duration.ofMillis(10), Duration.ofMillis(200)).withRandom(new SplittableRandom(7));
  }

  @Test
  void everyFaultEndsWithTheServicesSetAndTheUsersLastIntent(@TempDir Path dir) throws Exception {
    try (ServiceProcess service = new ServiceProcess()) {
      service.control("""
          {"faults": [
            {"action": "drop", "itemId": "tr-drop"},
            {"action": "fail-after-apply", "itemId": "tr-faa"},
            {"action": "late", "itemId": "al-late", "seconds": 8},
            {"action": "hold", "itemId": "al-hold", "seconds": 20},
            {"action": "trickle", "itemId": "tr-slow", "interval": 0.2},
            {"action": "reject", "itemId": "pl-bad", "times": null},
            {"action": "error", "itemId": "tr-poison", "times": null},
            {"action": "throttle", "itemId": "ar-thr", "retryAfter": 1},
            {"action": "redirect", "itemId": "tr-away"}]}""");
      List<String> items = List.of("track:tr-1", "track:tr-drop", "track:tr-faa", "album:al-late", "album:al-hold",
          "track:tr-slow", "playlist:pl-bad", "track:tr-poison", "artist:ar-thr", "track:tr-away");

      // ---- first run: a short request deadline, so that late answers are given up -----------
      try (WishlistClient client = new WishlistClient(service.baseUrl, dir, options(SHORT, PASS))) {
        for (String item : items) tap(client, item, true);
        SyncSummary first = client.syncNow(PASS);
        System.out.println("first pass: " + first);
        assertEquals(List.of(10, 1, 1, 4, 4), counts(first), first.toString());
        assertTrue(first.refreshed(), first.toString());
        assertTrue(first.problems().stream().anyMatch(p -> p.contains("another origin")), first.toString());
        assertFalse(client.wished(Kind.PLAYLIST, "pl-bad"), "a refused addition is taken back");
        for (String late : List.of("al-late", "al-hold")) {
          assertEquals(Status.State.PENDING, client.status(Kind.ALBUM, late).state(), late + " is sent again");
        }
        // The late addition landed after the deadline; the user then changes their mind.
        tap(client, "album:al-late", false);
      }

      // ---- a restart: lists that are late, trickled, too large or redirected load nothing -------
      ClientOptions listy = options(Duration.ofSeconds(20), SHORT).withMaxResponseBytes(1024 * 1024);
      try (WishlistClient client = new WishlistClient(service.baseUrl, dir, listy)) {
        SyncSummary resent = client.syncNow(PASS);
        System.out.println("after the restart: " + resent);
        assertTrue(resent.sent() >= 6, resent.toString());
        // Wished on another device: no failed refresh below may show it.
        List<Map<String, Object>> entries = new java.util.ArrayList<>(ServiceProcess.list(service.state(), "entries"));
        entries.add(Map.of("kind", "album", "itemId", "al-other", "title", "Elsewhere", "artist", ""));
        service.control("{\"entries\": " + ServiceProcess.json(entries) + "}");
        List<String> before = keys(client);
        String[][] faults = {
            {"{\"action\": \"late\", \"endpoint\": \"mine\", \"seconds\": 8}", "no complete answer within"},
            {"{\"action\": \"trickle\", \"endpoint\": \"mine\", \"interval\": 0.1}", "no complete answer within"},
            {"{\"action\": \"oversize\", \"bytes\": 2000000}", "larger than"},
            {"{\"action\": \"truncate\"}", "does not read"},
            {"{\"action\": \"redirect\", \"endpoint\": \"mine\"}", "another origin"}};
        for (String[] fault : faults) {
          service.control("{\"faults\": [" + fault[0] + ", {\"action\": \"error\", \"itemId\": \"tr-poison\", \"times\": null}]}");
          SyncSummary s = client.syncNow(PASS);
          System.out.println(fault[0] + " -> " + s);
          assertFalse(s.refreshed(), fault[0]);
          assertTrue(s.problems().stream().anyMatch(p -> p.contains(fault[1])), fault[0] + ": " + s.problems());
          assertEquals(before, keys(client), "nothing loaded: " + fault[0]);
        }
        // A redirect to the same origin is followed.
        service.control("{\"faults\": [{\"action\": \"redirect\", \"endpoint\": \"mine\", \"location\": \"" + service.baseUrl
            + "/wishlist/api/mine\"}, {\"action\": \"error\", \"itemId\": \"tr-poison\", \"times\": null}]}");
        assertTrue(client.syncNow(PASS).refreshed());
        assertTrue(client.wished(Kind.ALBUM, "al-other"));
      }

      // ---- another restart: passes until all is settled but the poison item --------------------
      try (WishlistClient client = new WishlistClient(service.baseUrl, dir, options(Duration.ofSeconds(20), PASS))) {
        for (int pass = 0; pass < 40 && !(client.pending() == 1 && client.syncNow(PASS).refreshed()); pass++) {
          Thread.sleep(250);
        }
        assertEquals(1, client.pending(), "only the poison item's change is held");
        assertEquals(Status.State.PENDING, client.status(Kind.TRACK, "tr-poison").state());
        Set<String> mine = new TreeSet<>(keys(client));
        Set<String> theirs = new TreeSet<>(service.keys());
        assertTrue(mine.remove("track:tr-poison"));
        assertEquals(theirs, mine);
        Set<String> intended = items.stream().filter(i -> !i.equals("playlist:pl-bad") && !i.equals("album:al-late")
            && !i.equals("track:tr-poison")).collect(Collectors.toCollection(TreeSet::new));
        intended.add("album:al-other");
        assertEquals(intended, theirs, "the user's last intent, where the service accepts it");
      }

      // Each operation kept one Idempotency-Key across the restarts, this installation's.
      String installation = Files.readString(dir.resolve("installation-id"), StandardCharsets.US_ASCII).trim();
      for (String item : List.of("tr-drop", "al-hold", "tr-slow")) {
        Set<Object> used = new HashSet<>();
        for (Map<String, Object> r : service.requestsFor(item)) {
          used.add(Json.asObject(r.get("headers")).get("Idempotency-Key"));
        }
        assertEquals(1, used.size(), item + ": " + used);
        assertTrue(used.iterator().next().toString().startsWith(installation + "-"), used.toString());
      }
    }
  }

  private static void tap(WishlistClient client, String item, boolean wished) throws Exception {
    String[] parts = item.split(":");
    client.setWished(Kind.of(parts[0]), parts[1], wished, "Title of " + parts[1], "");
  }

  private static List<Integer> counts(SyncSummary s) {
    return List.of(s.sent(), s.accepted(), s.rejected(), s.failed(), s.unknown());
  }

  private static List<String> keys(WishlistClient client) {
    return client.entries().stream().map(e -> e.kind().text() + ":" + e.itemId()).sorted().toList();
  }

}
