// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;

/** One Wishlist or SyncedWishlist shared by threads, and closed while they use it. */
class SharedObjectTest {
  private static final int WORKERS = 4;
  private static final int WARM_UP = 50; // calls each worker makes before the object is closed
  private static final int ROUNDS = 3000; // a bound: a worker stops at its first call after close
  private static final List<String> ITEMS = List.of("t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7");

  interface Round<T> {
    void run(T object, int n);
  }

  private static <T extends StoreView> void hammerThenClose(T object, Round<T> round) throws Exception {
    CountDownLatch warmed = new CountDownLatch(WORKERS);
    List<Throwable> failures = new CopyOnWriteArrayList<>();
    Thread[] threads = new Thread[WORKERS];
    for (int w = 0; w < WORKERS; w++) {
      int worker = w;
      threads[w] = new Thread(() -> {
        try {
          for (int n = 0; n < ROUNDS; n++) {
            if (n == WARM_UP) warmed.countDown();
            try {
              round.run(object, worker * ROUNDS + n);
            } catch (IllegalStateException closed) {
              assertTrue(closed.getMessage().contains("closed"), closed.getMessage());
              return;
            }
          }
        } catch (Throwable t) {
          failures.add(t);
        } finally {
          warmed.countDown();
        }
      });
      threads[w].start();
    }
    assertTrue(warmed.await(120, TimeUnit.SECONDS));
    object.close();
    for (Thread t : threads) t.join(TimeUnit.SECONDS.toMillis(120));
    for (Thread t : threads) assertFalse(t.isAlive());
    assertEquals(List.of(), failures);
    assertTrue(object.isClosed());
    assertTrue(object.toString().endsWith("[closed]"));
    assertThrows(IllegalStateException.class, object::size);
  }

  @Test
  void threadsShareOneWishlistAndCloseWaitsForTheirCalls() throws Exception {
    hammerThenClose(new Wishlist(), (w, n) -> {
      String item = ITEMS.get(n % ITEMS.size());
      w.toggle(Kind.TRACK, item, "T", "A");
      w.has(Kind.TRACK, item);
      assertTrue(w.size() <= ITEMS.size());
      for (Entry e : w) assertTrue(ITEMS.contains(e.itemId()), e.itemId());
    });
  }

  @Test
  void threadsShareOneSyncedWishlistAndCloseWaitsForTheirCalls() throws Exception {
    Map<Long, String> seen = new ConcurrentHashMap<>();
    hammerThenClose(new SyncedWishlist(), (s, n) -> {
      s.setWished(Kind.TRACK, ITEMS.get(n % ITEMS.size()), n % 3 != 0, "T", "A");
      Optional<PendingRequest> request = s.nextRequest("http://h");
      if (request.isPresent()) {
        PendingRequest r = request.get();
        // Every id is one the journal gave, to this request's entry alone.
        assertTrue(r.opId() > 0 && r.kind() == Kind.TRACK && ITEMS.contains(r.itemId()), r.toString());
        assertEquals(r.itemId(), seen.computeIfAbsent(r.opId(), id -> r.itemId()));
        s.report(r.opId(), n % 2 == 1 ? Outcome.ACCEPTED : Outcome.FAILED);
      }
      if (n % 50 == 0) s.load(s.beginRefresh(), "{\"tracks\":[\"t1\"]}");
      assertTrue(s.held() >= 0 && !s.toString().isEmpty());
    });
  }
}
