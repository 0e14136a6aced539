// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** One client shared by threads: events outside the lock, and a close while others call it. */
class ThreadsTest {
  private static final Duration PASS = Duration.ofSeconds(60);

  @Test
  void eventsComeOutsideTheLockAndInOrder(@TempDir Path dir) throws Exception {
    try (ServiceProcess service = new ServiceProcess()) {
      service.control("{\"faults\": [{\"action\": \"reject\", \"itemId\": \"pl-bad\", \"status\": 403}]}");
      List<String> seen = new CopyOnWriteArrayList<>();
      ExecutorService other = Executors.newSingleThreadExecutor();
      // Runnable::run: each event runs on the thread whose call made it, once the lock is free.
      ClientOptions options = ClientOptions.defaults().withEventExecutor(Runnable::run);
      try (WishlistClient client = new WishlistClient(service.baseUrl, dir, options)) {
        client.onRejected(r -> {
          seen.add("rejected " + r);
          // Another thread can call the client while the listener runs: the lock is not held.
          Future<Integer> size = other.submit(client::size);
          try {
            seen.add("size " + size.get(30, TimeUnit.SECONDS));
          } catch (Exception e) {
            seen.add("blocked: " + e);
          }
        });
        client.onChange(() -> seen.add("change"));
        client.onState(s -> seen.add("state " + s));
        client.setWished(Kind.PLAYLIST, "pl-bad", true, "Bad", "");
        client.setWished(Kind.TRACK, "tr-1", true, "Good", "");
        SyncSummary s = client.syncNow(PASS);
        assertEquals(List.of(1, 1), List.of(s.accepted(), s.rejected()));
      } finally {
        other.shutdownNow();
      }
      assertEquals(List.of("state SYNCING",
          "rejected Rejection[kind=PLAYLIST, itemId=pl-bad, wished=true, status=403, change=REMOVED]", "size 1",
          "change", "state IDLE", "state CLOSED"), seen);
    }
  }

  @Test
  void theDefaultEventThreadIsTheClientsOwnAndEndsWithIt(@TempDir Path dir) throws Exception {
    Set<String> threads = ConcurrentHashMap.newKeySet();
    CountDownLatch closed = new CountDownLatch(1);
    WishlistClient client = new WishlistClient("http://127.0.0.1:9", dir);
    client.onState(s -> {
      threads.add(Thread.currentThread().getName());
      if (s == ClientState.CLOSED) closed.countDown();
    });
    client.close();
    assertTrue(closed.await(30, TimeUnit.SECONDS));
    assertEquals(Set.of("orvel-events"), threads);
  }

  @Test
  void threadsCallingOneClientWhileAnotherClosesItSeeOnlyResultsOrClosed(@TempDir Path dir) throws Exception {
    try (ServiceProcess service = new ServiceProcess()) {
      ClientOptions options = ClientOptions.defaults().withBackoff(Duration.ofMillis(5), Duration.ofMillis(50));
      WishlistClient client = new WishlistClient(service.baseUrl, dir, options);
      client.start();
      int threads = 4;
      AtomicInteger calls = new AtomicInteger();
      List<String> unexpected = new CopyOnWriteArrayList<>();
      List<String> tapped = new CopyOnWriteArrayList<>();
      CountDownLatch busy = new CountDownLatch(threads * 50);
      ExecutorService pool = Executors.newFixedThreadPool(threads + 1);
      List<Future<?>> workers = new ArrayList<>();
      for (int t = 0; t < threads; t++) {
        int id = t;
        workers.add(pool.submit(() -> {
          for (int i = 0; i < 100_000; i++) {
            String item = "tr-" + id + "-" + (i % 20);
            try {
              switch (i % 5) {
                case 0 -> {
                  client.setWished(Kind.TRACK, item, (i / 20) % 2 == 0);
                  tapped.add(item + " " + ((i / 20) % 2 == 0));
                }
                case 1 -> client.status(Kind.TRACK, item);
                case 2 -> client.entries();
                case 3 -> client.wished(Kind.TRACK, item);
                default -> {
                  if (i % 50 == 4) client.syncNow(PASS);
                  else client.size();
                }
              }
              calls.incrementAndGet();
              busy.countDown();
            } catch (IllegalStateException closed) {
              return;  // closed: every later call says so
            } catch (Exception | Error e) {
              unexpected.add(e.toString());
              return;
            }
          }
        }));
      }
      // Close once every thread has made calls, with calls of all of them under way.
      assertTrue(busy.await(60, TimeUnit.SECONDS));
      Future<?> closing = pool.submit(() -> {
        client.close();
        return null;
      });
      closing.get(60, TimeUnit.SECONDS);
      for (Future<?> w : workers) w.get(60, TimeUnit.SECONDS);
      pool.shutdown();
      assertEquals(List.of(), unexpected);
      assertTrue(calls.get() >= threads * 50);
      // Every change whose call returned was saved: the folder opens to each thread's last tap.
      try (WishlistClient again = new WishlistClient(service.baseUrl, dir)) {
        java.util.Map<String, Boolean> last = new java.util.HashMap<>();
        for (String t : tapped) last.put(t.split(" ")[0], Boolean.parseBoolean(t.split(" ")[1]));
        for (var e : last.entrySet()) {
          assertEquals(e.getValue(), again.wished(Kind.TRACK, e.getKey()), e.getKey());
        }
      }
    }
  }
}
