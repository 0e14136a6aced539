// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Optional;
import java.util.Set;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.orvel.example.WishSync;

/**
 * The worked example of the README (org.orvel.example.WishSync) against a small service on
 * 127.0.0.1: it holds a set of entries, refuses one identity for good (403), answers one POST
 * with 503 and one only after the client's deadline, and answers the list in the loader's
 * "items" shape. The app restarts in the middle; at the end its store is the service's set. And
 * the same app against no service at all.
 */
class SyncExampleTest {
  // Generous on a loaded machine: only the deliberately late answer passes it.
  private static final Duration DEADLINE = Duration.ofSeconds(4);

  /** The service: its set, in arrival order, and a log of what it answered. */
  static final class Service implements AutoCloseable {
    final Map<String, Entry> set = new LinkedHashMap<>();
    final List<String> log = new ArrayList<>();
    private final HttpServer server;
    private final ExecutorService threads = Executors.newFixedThreadPool(4);
    private int posts;

    Service() throws IOException {
      server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 0);
      server.createContext("/wishlist/api/wish", this::wish);
      server.createContext("/wishlist/api/mine", this::mine);
      server.setExecutor(threads);
      server.start();
    }

    String baseUrl() {
      return "http://127.0.0.1:" + server.getAddress().getPort() + "/";
    }

    private void wish(HttpExchange exchange) throws IOException {
      Map<String, Object> body = Json.object(new String(exchange.getRequestBody().readAllBytes(), StandardCharsets.UTF_8));
      Entry entry = new Entry(Kind.of(Json.string(body, "kind")), Json.string(body, "itemId"),
          Json.string(body, "title"), Json.string(body, "artist"));
      String op = Json.string(body, "op");
      int status;
      boolean late = false;
      synchronized (this) {
        int n = ++posts;
        if (entry.itemId().equals("refused")) {
          status = 403;
        } else if (n == 2) {
          status = 503;
        } else {
          if (op.equals("add")) set.put(key(entry), entry);
          else set.remove(key(entry));
          status = 200;
          late = n == 5;  // applied, but the answer comes after the client's deadline
        }
        log.add("POST " + op + " " + entry.kind().text() + " " + entry.itemId() + " -> " + status + (late ? " late" : ""));
      }
      if (late) sleep(DEADLINE.multipliedBy(2));
      answer(exchange, status, "");
    }

    private void mine(HttpExchange exchange) throws IOException {
      StringBuilder items = new StringBuilder();
      synchronized (this) {
        for (Entry e : set.values()) {
          items.append(items.length() == 0 ? "" : ",").append("{\"kind\":\"").append(e.kind().text())
              .append("\",\"itemId\":\"").append(e.itemId()).append("\",\"title\":\"").append(e.title())
              .append("\",\"artist\":\"").append(e.artist()).append("\"}");
        }
        log.add("GET mine -> 200, " + set.size() + " in the set");
      }
      answer(exchange, 200, "{\"items\":[" + items + "]}");
    }

    private static void answer(HttpExchange exchange, int status, String body) throws IOException {
      byte[] bytes = body.getBytes(StandardCharsets.UTF_8);
      try (exchange) {
        exchange.sendResponseHeaders(status, bytes.length == 0 ? -1 : bytes.length);
        if (bytes.length > 0) {
          try (OutputStream out = exchange.getResponseBody()) {
            out.write(bytes);
          }
        }
      } catch (IOException gone) {
        // The client gave up waiting: its request was applied, and it will send it again.
      }
    }

    static String key(Entry e) {
      return e.kind().text() + ":" + e.itemId();
    }

    private static void sleep(Duration d) {
      try {
        Thread.sleep(d.toMillis());
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
      }
    }

    synchronized Set<Entry> entries() {
      return new HashSet<>(set.values());
    }

    @Override
    public void close() {
      server.stop(0);
      threads.shutdownNow();
    }
  }

  private static final Duration FIRST_WAIT = Duration.ofMillis(10);
  private static final Duration LONGEST_WAIT = Duration.ofMillis(40);

  @Test
  void theAppLoopEndsWithTheServicesSetThroughFailuresARefusalATimeoutAndARestart(@TempDir Path folder) throws Exception {
    Path file = folder.resolve("wishlist.json");
    try (Service service = new Service()) {
      Entry other = new Entry(Kind.ALBUM, "al-1", "Glass River", "Mara Quince");
      service.set.put(Service.key(other), other);  // wished on another device

      WishSync app = new WishSync(service.baseUrl(), file, DEADLINE);
      assertTrue(app.refresh());
      assertTrue(app.wishes().has(Kind.ALBUM, "al-1"));
      app.setWished(Kind.TRACK, "tr-1", true, "Neu \u00fc", "A");
      app.setWished(Kind.ALBUM, "al-1", false, "Glass River", "Mara Quince");
      app.setWished(Kind.TRACK, "refused", true, "R", "");
      app.setWished(Kind.PLAYLIST, "pl-1", true, "P", "");
      // One pass: the removal of al-1 fails with 503, and the two behind it still go out.
      assertFalse(app.send());
      assertEquals(List.of(1, 2), List.of(app.wishes().unsent(), app.wishes().confirming()));
      assertFalse(app.wishes().has(Kind.ALBUM, "al-1"), "the user's removal stays shown");
      assertFalse(app.wishes().has(Kind.TRACK, "refused"), "the refused addition is taken back");

      app.close();  // the app stops; a new one starts from the saved snapshot
      app = new WishSync(service.baseUrl(), file, DEADLINE);
      assertEquals(3, app.wishes().held());
      // The removal is applied but answered after the deadline (unknown), then sent again.
      assertTrue(app.sync(5, FIRST_WAIT, LONGEST_WAIT));

      assertEquals(service.entries(), new HashSet<>(app.wishes().export().items()));
      assertEquals(0, app.wishes().held());
      assertEquals(new EntryStatus(EntryState.UNCERTAIN, Optional.of(false), 0, 0, 1),
          app.wishes().status(Kind.ALBUM, "al-1"), "the unknown request may still land: watched");
      assertEquals(List.of("POST add track tr-1 -> 200", "POST remove album al-1 -> 503",
          "POST add track refused -> 403", "POST add playlist pl-1 -> 200", "POST remove album al-1 -> 200 late",
          "POST remove album al-1 -> 200", "GET mine -> 200, 2 in the set"),
          service.log.subList(1, service.log.size()));
      System.out.println("The worked example against its local service:\n  " + String.join("\n  ", service.log)
          + "\n  the app's store: " + app.wishes().exportJson());
      app.close();

      // What was saved last opens to the same.
      try (WishSync again = new WishSync(service.baseUrl(), file, DEADLINE)) {
        assertEquals(service.entries(), new HashSet<>(again.wishes().export().items()));
        assertEquals(1, again.wishes().uncertain());
      }
      assertEquals(Set.of("wishlist.json"), Set.copyOf(Files.list(folder).map(p -> p.getFileName().toString()).toList()));
    }
  }

  @Test
  void aServiceThatCannotBeReachedKeepsEveryChangeAsFailedNotUnknown(@TempDir Path folder) throws Exception {
    int port;
    try (ServerSocket closed = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
      port = closed.getLocalPort();  // nothing listens there once it is closed
    }
    Path file = folder.resolve("wishlist.json");
    try (WishSync app = new WishSync("http://127.0.0.1:" + port, file, Duration.ofSeconds(5))) {
      app.setWished(Kind.ALBUM, "al-1", true, "T", "A");
      assertFalse(app.sync(3, FIRST_WAIT, LONGEST_WAIT));
      assertEquals(List.of(1, 0, 3L), List.of(app.wishes().unsent(), app.wishes().uncertain(),
          app.wishes().status(Kind.ALBUM, "al-1").attempts()));
    }
    try (WishSync again = new WishSync("http://127.0.0.1:" + port, file, Duration.ofSeconds(5))) {
      assertEquals(1, again.wishes().unsent());
    }
  }
}
