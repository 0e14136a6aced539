// SPDX-License-Identifier: MIT
package org.orvel;

import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.Semaphore;

/**
 * What the client adds to a pass of N changes against the sample service, as a ratio to the same
 * requests sent by a minimal loop over the same HttpClient (as many at once as the client sends
 * at its default maxInFlight, then one list fetch), in one process, rounds alternating. Run as
 * {@code ClientBench [N] [ROUNDS]}; prints the times and the ratio of the medians.
 */
public final class ClientBench {
  public static void main(String[] args) throws Exception {
    int n = args.length > 0 ? Integer.parseInt(args[0]) : 1000;
    int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 5;
    double[] loop = new double[rounds];
    double[] client = new double[rounds];
    try (ServiceProcess service = new ServiceProcess("--max-seconds", "600")) {
      HttpClient http = HttpClient.newBuilder().followRedirects(HttpClient.Redirect.NEVER).build();
      for (int r = 0; r < rounds; r++) {
        service.control("{\"entries\": [], \"clearLog\": true}");
        loop[r] = minimalLoop(http, service.baseUrl, n, r);
        service.control("{\"entries\": [], \"clearLog\": true}");
        client[r] = clientPass(service.baseUrl, n, r);
        System.out.printf("round %d: minimal loop %.3f s, client %.3f s%n", r, loop[r], client[r]);
      }
    }
    Arrays.sort(loop);
    Arrays.sort(client);
    double ratio = client[rounds / 2] / loop[rounds / 2];
    System.out.printf("a pass of %d changes, %d at once: the client takes %.2f times the minimal loop's time "
        + "(medians %.3f s, %.3f s): it adds %.0f%%%n", n, ClientOptions.defaults().maxInFlight(), ratio,
        client[rounds / 2], loop[rounds / 2], (ratio - 1) * 100);
  }

  /** The same POSTs, as many at once as the client sends, then the list: no journal, no saving, no retries. */
  static double minimalLoop(HttpClient http, String base, int n, int round) throws Exception {
    List<HttpRequest> posts = new ArrayList<>();
    for (int i = 0; i < n; i++) {
      WishRequest w = Orvel.buildWishRequest(true, Kind.TRACK, "tr-" + round + "-" + i, "Title " + i, "Artist");
      posts.add(HttpRequest.newBuilder(URI.create(base + "/wishlist/api/wish")).header("Content-Type", w.contentType())
          .header("Idempotency-Key", "loop-" + round + "-" + i).POST(HttpRequest.BodyPublishers.ofString(w.body()))
          .build());
    }
    long start = System.nanoTime();
    Semaphore places = new Semaphore(ClientOptions.defaults().maxInFlight());
    List<CompletableFuture<?>> all = new ArrayList<>();
    for (HttpRequest post : posts) {
      places.acquire();
      all.add(http.sendAsync(post, HttpResponse.BodyHandlers.discarding()).whenComplete((x, e) -> places.release()));
    }
    CompletableFuture.allOf(all.toArray(CompletableFuture[]::new)).join();
    http.send(HttpRequest.newBuilder(URI.create(Orvel.buildMineUrl(base))).build(),
        HttpResponse.BodyHandlers.ofByteArray());
    return (System.nanoTime() - start) / 1e9;
  }

  /** The changes recorded (not timed), then one syncNow: sent, answered, saved, refreshed. */
  static double clientPass(String base, int n, int round) throws Exception {
    Path dir = Files.createTempDirectory("orvel-bench");
    try (WishlistClient client = new WishlistClient(base, dir)) {
      for (int i = 0; i < n; i++) client.setWished(Kind.TRACK, "tr-" + round + "-" + i, true, "Title " + i, "Artist");
      long start = System.nanoTime();
      SyncSummary s = client.syncNow(Duration.ofMinutes(5));
      double seconds = (System.nanoTime() - start) / 1e9;
      if (s.accepted() != n || !s.refreshed()) throw new IllegalStateException("the pass did not go through: " + s);
      return seconds;
    } finally {
      CrashCycles.deleteTree(dir);
    }
  }
}
