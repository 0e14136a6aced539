package org.orvel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

class OrvelTest {
  private static final String RESPONSE = "{\"tracks\":[\"t1\",\"t2\",\"t1\"],\"albums\":[{\"id\":\"\u00e9\"}]}";

  @Test
  void versionsSelftestAndKinds() {
    assertEquals("1.0.0", Orvel.version());
    assertEquals(Orvel.ABI_VERSION, Orvel.abiVersion());
    assertEquals(0, Orvel.selftest());
    assertTrue(Orvel.KINDS.stream().allMatch(Orvel::validateKind));
    assertFalse(Orvel.validateKind("Track"));
  }

  @ParameterizedTest
  @CsvSource({"https://x.example//, https://x.example/wishlist/api/mine", "///, /wishlist/api/mine"})
  void mineUrl(String base, String url) {
    assertEquals(url, Orvel.buildMineUrl(base));
    assertEquals(Orvel.buildMineUrl(""), Orvel.buildMineUrl(null));
  }

  @Test
  void requestIsTheLibraryTextAndCarriesEmojiExactly() {
    assertEquals("{\"method\":\"POST\",\"url\":\"B/wishlist/api/wish\",\"contentType\":\"application/json\","
            + "\"body\":\"{\\\"op\\\":\\\"add\\\",\\\"kind\\\":\\\"track\\\",\\\"itemId\\\":\\\"t1\\\","
            + "\\\"title\\\":\\\"\\\",\\\"artist\\\":\\\"A\\\"}\"}",
        Orvel.buildWishRequest(true, "track", "t1", null, "A", "B"));
    String emoji = "\ud83c\udfb5 \u266b";
    String request = Orvel.buildWishRequest(false, "album", "a", emoji, null, null);
    assertTrue(request.contains("\\\"title\\\":\\\"" + emoji + "\\\""), request);
    byte[] bytes = Orvel.buildWishRequest(false, utf8("album"), utf8("a"), utf8(emoji), null, null);
    assertArrayEquals(request.getBytes(StandardCharsets.UTF_8), bytes);
  }

  @ParameterizedTest
  @CsvSource({"Album, a, invalid kind", "Album, '', invalid kind", "album, '', empty item_id"})
  void requestErrorsCarryTheLibraryMessage(String kind, String itemId, String reason) {
    OrvelException e = assertThrows(OrvelException.class,
        () -> Orvel.buildWishRequest(true, kind, itemId, null, null, null));
    assertEquals(reason, e.reason());
  }

  @Test
  void invalidUtf8GivesNoRequestAndNoMessage() {
    byte[] bad = {(byte) 0xc3};
    for (int which = 0; which < 2; which++) {
      byte[] title = which == 0 ? bad : null;
      byte[] base = which == 1 ? bad : null;
      OrvelException e = assertThrows(OrvelException.class,
          () -> Orvel.buildWishRequest(true, utf8("album"), utf8("a"), title, null, base));
      assertEquals("", e.reason());
    }
  }

  @Test
  void nullsLoneSurrogatesAndNulsAreJavaErrors() {
    assertThrows(NullPointerException.class, () -> Orvel.buildWishRequest(true, null, "a", null, null, null));
    assertThrows(NullPointerException.class, () -> Orvel.buildWishRequest(true, "album", null, null, null, null));
    assertThrows(NullPointerException.class, () -> Orvel.validateKind(null));
    assertThrows(IllegalArgumentException.class, () -> Orvel.buildWishRequest(true, "album", "a\0b", null, null, null));
    assertThrows(IllegalArgumentException.class, () -> Orvel.buildMineUrl("\ud800"));
    try (Wishlist w = new Wishlist()) {
      assertThrows(NullPointerException.class, () -> w.load((byte[]) null));
      assertThrows(NullPointerException.class, () -> w.toggle("album", null, null, null));
      assertThrows(NullPointerException.class, () -> w.contains(null, "a"));
    }
  }

  @Test
  void toggleContainsSizeAndExport() {
    try (Wishlist w = new Wishlist()) {
      assertEquals(0, w.size());
      assertTrue(w.toggle("album", "a1", "T\u00e9", null));
      assertTrue(w.contains("album", "a1"));
      assertFalse(w.contains("track", "a1"));
      assertEquals("{\"total\":1,\"items\":[{\"kind\":\"album\",\"itemId\":\"a1\",\"title\":\"T\u00e9\",\"artist\":\"\"}]}",
          w.exportJson());
      assertFalse(w.toggle("album", "a1", null, null));
      assertEquals(0, w.size());
    }
  }

  @ParameterizedTest
  @CsvSource({"Album, a1, invalid kind", "album, '', empty item_id"})
  void toggleFailuresLeaveTheStoreUnchanged(String kind, String itemId, String reason) {
    try (Wishlist w = new Wishlist()) {
      w.toggle("track", "t", null, null);
      OrvelException e = assertThrows(OrvelException.class, () -> w.toggle(kind, itemId, null, null));
      assertEquals(reason, e.reason());
      assertEquals(1, w.size());
    }
  }

  @Test
  void loadReadsExactBytesAndAnEscapedNulCutsTheText() {
    try (Wishlist w = new Wishlist()) {
      assertEquals(3, w.load(RESPONSE));
      assertEquals(3, w.load(RESPONSE.getBytes(StandardCharsets.UTF_8)));
      assertTrue(w.contains("album", "\u00e9"));
      String emojiId = "\ud83c\udfa7-1";
      assertEquals(1, w.load("{\"items\":[{\"kind\":\"track\",\"itemId\":\"" + emojiId
          + "\",\"title\":\"cut\\u0000here\"}]}"));
      assertTrue(w.contains("track", emojiId));
      assertEquals("{\"total\":1,\"items\":[{\"kind\":\"track\",\"itemId\":\"" + emojiId
          + "\",\"title\":\"cut\",\"artist\":\"\"}]}", w.exportJson());
    }
  }

  @Test
  void failedLoadReportsInvalidJsonAndKeepsTheStore() {
    byte[][] bad = {new byte[0], utf8("[1,]"), utf8("[\"t1\"]\0"), utf8("\ufeff[]"),
        {'[', '"', (byte) 0xff, '"', ']'}};
    try (Wishlist w = new Wishlist()) {
      w.load(RESPONSE);
      for (byte[] b : bad) {
        OrvelException e = assertThrows(OrvelException.class, () -> w.load(b));
        assertEquals("invalid json", e.reason());
        assertEquals(3, w.size());
      }
    }
  }

  @Test
  void exportLoadsBackByteForByte() {
    try (Wishlist a = new Wishlist(); Wishlist b = new Wishlist()) {
      for (int i = 0; i < 50; i++) {
        a.toggle(Orvel.KINDS.get(i % 4), "id-" + i, "\"" + i + "\"\\/", "\u266b");
      }
      assertEquals(50, b.load(a.exportJson()));
      assertEquals(a.exportJson(), b.exportJson());
    }
  }

  @Test
  void aClosedWishlistThrowsInsteadOfTouchingFreedMemory() {
    Wishlist w = new Wishlist();
    w.close();
    w.close();
    assertTrue(w.isClosed());
    assertThrows(IllegalStateException.class, w::size);
    assertThrows(IllegalStateException.class, () -> w.load("[]"));
    assertThrows(IllegalStateException.class, () -> w.contains("track", "t"));
    assertThrows(IllegalStateException.class, w::exportJson);
    assertThrows(IllegalStateException.class, () -> w.toggle("track", "t", null, null));
  }

  @Test
  void separateStoresOnManyThreads() throws Exception {
    ExecutorService pool = Executors.newFixedThreadPool(8);
    try {
      List<Future<Boolean>> results = new ArrayList<>();
      for (int n = 0; n < 16; n++) {
        final int id = n;
        results.add(pool.submit(() -> {
          try (Wishlist w = new Wishlist()) {
            for (int i = 0; i < 500; i++) w.toggle("track", id + "-" + i, null, null);
            boolean ok = w.size() == 500 && w.load(w.exportJson()) == 500 && Orvel.selftest() == 0;
            OrvelException e = assertThrows(OrvelException.class, () -> w.load("{"));
            return ok && e.reason().equals("invalid json");
          }
        }));
      }
      for (Future<Boolean> r : results) assertTrue(r.get());
    } finally {
      pool.shutdown();
    }
  }

  private static long residentBytes() throws IOException {
    for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
      if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("[^0-9]", "")) * 1024;
    }
    throw new IOException("no VmRSS");
  }

  private static long growthOver(int n, Runnable call) throws Exception {
    for (int i = 0; i < n / 5; i++) call.run();
    System.gc();
    Thread.sleep(100);
    long before = residentBytes();
    for (int i = 0; i < n; i++) {
      call.run();
      if (i % 10_000 == 0) System.gc();
    }
    System.gc();
    Thread.sleep(100);
    return residentBytes() - before;
  }

  @Test
  void returnedTextsAreFreed() throws Exception {
    try (Wishlist w = new Wishlist()) {
      w.load(RESPONSE);
      String title = "x".repeat(200);
      long grown = growthOver(100_000, () -> {
        Orvel.buildWishRequest(true, "track", "t1", title, null, null);
        Orvel.buildMineUrl("B");
        w.exportJson();
      });
      // The heap is fixed; leaking these texts would add tens of megabytes of native memory.
      assertTrue(grown < 16 << 20, "resident memory grew by " + grown + " bytes");
    }
  }

  @Test
  void aForgottenWishlistIsReleasedByTheCleaner() throws Exception {
    long grown = growthOver(100_000, () -> new Wishlist().toggle("album", "a", null, null));
    // Each leaked store would hold about a kilobyte: a hundred megabytes here.
    assertTrue(grown < 40 << 20, "resident memory grew by " + grown + " bytes");
  }

  @Test
  void aMissingShimIsExplained() throws Exception {
    Process p = new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
        "-Dorvel.library.path=/nonexistent/liborvel_jni.so", "-cp", System.getProperty("orvel.test.classpath"),
        MissingShim.class.getName())
        .redirectErrorStream(true).start();
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertEquals(0, p.waitFor(), out);
    assertTrue(out.startsWith("liborvel's JNI shim could not be loaded. Tried: /nonexistent/liborvel_jni.so"), out);
    assertTrue(out.contains("-Dorvel.library.path="), out);
  }

  @Test
  void theShimBesideTheJarIsFoundUnaided() throws Exception {
    // The build tree holds the jar and the shim side by side, as the tests' class path shows.
    Process p = new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
        "-cp", System.getProperty("orvel.test.classpath"), SelfTest.class.getName())
        .redirectErrorStream(true).start();
    String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
    assertEquals(0, p.waitFor(), out);
    assertEquals("selftest 0\n", out);
  }

  /** Run in a child JVM: runs the self-test with the shim found however Native finds it. */
  static final class SelfTest {
    public static void main(String[] args) {
      System.out.println("selftest " + Orvel.selftest());
    }
  }

  /** Run in a child JVM: prints the error of a shim that cannot be found, twice the same. */
  static final class MissingShim {
    public static void main(String[] args) {
      String first = null;
      for (int i = 0; i < 2; i++) {
        try {
          Orvel.selftest();
        } catch (UnsatisfiedLinkError e) {
          if (first == null) first = e.getMessage();
          else if (!first.equals(e.getMessage())) System.exit(3);
        }
      }
      System.out.println(first);
    }
  }

  private static byte[] utf8(String s) {
    return s.getBytes(StandardCharsets.UTF_8);
  }
}
