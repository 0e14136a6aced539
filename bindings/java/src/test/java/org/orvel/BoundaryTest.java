// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.sun.management.GarbageCollectionNotificationInfo;
import java.lang.management.GarbageCollectorMXBean;
import java.lang.management.ManagementFactory;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import javax.management.NotificationEmitter;
import javax.management.NotificationListener;
import javax.management.openmbean.CompositeData;
import org.junit.jupiter.api.Test;

/** Faults at the boundary between the JVM and the libraries. */
class BoundaryTest {
  /** A base URL this long makes the URL buffer the one allocation of its size in the process. */
  static final int BASE_LENGTH = 99_991;
  static final int URL_BUFFER = BASE_LENGTH + "/wishlist/api/wish".length() + 1;

  /**
   * When the URL's memory runs out, the library leaves the thread's error text as it was: the
   * reason must not be an earlier call's text ("invalid json" here).
   */
  @Test
  void aRequestOutOfMemoryNeverReportsAnEarlierCallsReason() throws Exception {
    ChildJvm child = ChildJvm.run(RequestsOutOfMemory.class,
        Map.of("LD_PRELOAD", System.getProperty("orvel.test.failSize"),
            "ORVEL_FAIL_MALLOC_SIZE", Integer.toString(URL_BUFFER)),
        "-Dorvel.library.path=" + System.getProperty(Orvel.LIBRARY_PATH_PROPERTY));
    assertEquals(0, child.status(), child.output());
    assertEquals(String.join("\n",
        "load: invalid json",
        "request: reason '' (cannot build the wish request (out of memory))",
        "request bytes: reason '' (cannot build the wish request (a text is not valid UTF-8, or memory is short))",
        "mine url: reason '' (cannot build the list URL (out of memory))",
        "journal: reason 'out of memory' (cannot make the next request: out of memory)",
        "journal again: 1",
        ""), child.output());
  }

  private static int collections(List<String> causes) {
    synchronized (causes) {
      return causes.size();
    }
  }

  /** Run in a child JVM whose malloc fails for URL_BUFFER bytes. */
  static final class RequestsOutOfMemory {
    private static String failure(Runnable call) {
      try {
        call.run();
        return "no failure";
      } catch (OrvelException e) {
        return "reason '" + e.reason() + "' (" + e.getMessage() + ")";
      }
    }

    public static void main(String[] args) {
      String base = "https://x" + "y".repeat(BASE_LENGTH - 9);
      try (Wishlist w = new Wishlist(); SyncedWishlist s = new SyncedWishlist()) {
        System.out.println("load: " + failure(() -> w.load("{")).replaceAll("reason '(.*)' .*", "$1"));
        System.out.println("request: " + failure(() -> WishRequest.builder(true, Kind.TRACK, "t").baseUrl(base).build()));
        System.out.println("request bytes: " + failure(() -> Orvel.buildWishRequest(true,
            WishlistTest.utf8("track"), WishlistTest.utf8("t"), null, null, WishlistTest.utf8(base))));
        System.out.println("mine url: " + failure(() -> Orvel.buildMineUrl(base)));
        s.setWished(Kind.TRACK, "t", true);
        System.out.println("journal: " + failure(() -> s.nextRequest(base)));
        System.out.println("journal again: " + s.nextRequest().map(PendingRequest::opId).orElse(0L));
      }
    }
  }

  /**
   * A load used to read the response in place through a JNI critical region, which holds off
   * every collection in the process for the whole parse: a collection that other threads' work
   * needs then waits for the load, and runs as "GCLocker Initiated GC". With the response copied
   * first, collections run while the parse goes on.
   */
  @Test
  void collectionsRunWhileALargeResponseIsParsed() throws Exception {
    StringBuilder big = new StringBuilder("{\"items\":[");
    for (int i = 0; i < 100_000; i++) {
      big.append(i == 0 ? "" : ",").append("{\"kind\":\"track\",\"itemId\":\"t").append(i).append("\",\"title\":\"T\"}");
    }
    byte[] response = WishlistTest.utf8(big.append("]}").toString());
    List<String> causes = new ArrayList<>();
    NotificationListener listener = (notification, handback) -> {
      if (notification.getType().equals(GarbageCollectionNotificationInfo.GARBAGE_COLLECTION_NOTIFICATION)) {
        String cause = GarbageCollectionNotificationInfo.from((CompositeData) notification.getUserData()).getGcCause();
        synchronized (causes) {
          causes.add(cause);
        }
      }
    };
    List<GarbageCollectorMXBean> collectors = ManagementFactory.getGarbageCollectorMXBeans();
    for (GarbageCollectorMXBean bean : collectors) ((NotificationEmitter) bean).addNotificationListener(listener, null, null);
    AtomicBoolean loading = new AtomicBoolean(true);
    AtomicReference<Throwable> failure = new AtomicReference<>();
    try (Wishlist w = new Wishlist()) {
      Thread loader = new Thread(() -> {
        try {
          // Until enough collections have run to tell (a few per load on an idle machine); bounded
          // by time, not by a count of loads, since on a loaded machine the garbage thread below
          // may get little of the processor between two loads.
          final long end = System.nanoTime() + 60_000_000_000L;
          while (collections(causes) < 8 && System.nanoTime() < end) assertEquals(100_000, w.load(response));
        } catch (Throwable t) {
          failure.set(t);
        } finally {
          loading.set(false);
        }
      });
      loader.start();
      // Garbage, so that collections are needed while the loads go on.
      long sink = 0;
      while (loading.get()) {
        byte[] chunk = new byte[64 << 10];
        sink += chunk.length;
      }
      loader.join();
      assertTrue(sink > 0);
      if (failure.get() != null) throw new AssertionError("the loads failed", failure.get());
    } finally {
      for (GarbageCollectorMXBean bean : collectors) ((NotificationEmitter) bean).removeNotificationListener(listener);
    }
    synchronized (causes) {
      assertTrue(causes.size() >= 8, "too few collections to tell: " + causes);
      assertTrue(causes.stream().noneMatch(c -> c.contains("GCLocker")), "the loads held the collector off: " + causes);
    }
  }
}
