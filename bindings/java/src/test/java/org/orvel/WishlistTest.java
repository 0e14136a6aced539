// SPDX-License-Identifier: MIT
package org.orvel;

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
import org.junit.jupiter.params.provider.ValueSource;

class WishlistTest {
  static final String RESPONSE = "{\"tracks\":[\"t1\",\"t2\",\"t1\"],\"albums\":[{\"id\":\"\u00e9\"}]}";

  @Test
  @SuppressWarnings("deprecation")
  void toggleHasSizeAndExport() {
    try (Wishlist w = new Wishlist()) {
      assertEquals(0, w.size());
      assertTrue(w.isEmpty());
      assertTrue(w.toggle(Kind.ALBUM, "a1", "T\u00e9", null));
      assertTrue(w.has(Kind.ALBUM, "a1"));
      assertTrue(w.has("album", "a1"));
      assertTrue(w.contains("album", "a1"));
      assertFalse(w.has(Kind.TRACK, "a1"));
      assertFalse(w.has("Album", "a1"));
      assertFalse(w.isEmpty());
      assertEquals("{\"total\":1,\"items\":[{\"kind\":\"album\",\"itemId\":\"a1\",\"title\":\"T\u00e9\",\"artist\":\"\"}]}",
          w.exportJson());
      assertFalse(w.toggle("album", "a1"));
      assertEquals(0, w.size());
    }
  }

  @Test
  void iterationAndExportGiveTheEntriesInStoreOrder() {
    try (Wishlist w = new Wishlist()) {
      w.load("{\"items\":[{\"kind\":\"track\",\"itemId\":\"t\\\"1\",\"title\":\"\\ud83c\\udfb5\\n\",\"artist\":\"A/\\\\\"}]}");
      w.toggle(Kind.PLAYLIST, "p", "\u00fc", "\t");
      w.toggle(Kind.ARTIST, "r");
      List<Entry> expected = List.of(new Entry(Kind.TRACK, "t\"1", "\ud83c\udfb5\n", "A/\\"),
          new Entry(Kind.PLAYLIST, "p", "\u00fc", "\t"), new Entry(Kind.ARTIST, "r", "", ""));
      List<Entry> seen = new ArrayList<>();
      for (Entry e : w) seen.add(e);
      assertEquals(expected, seen);
      assertEquals(new Export(3, expected), w.export());
      assertThrows(UnsupportedOperationException.class, () -> w.export().items().clear());
      // A snapshot: changing the store while iterating neither throws nor shows the change.
      int n = 0;
      for (Entry e : w) {
        w.toggle(e.kind(), e.itemId());
        n++;
      }
      assertEquals(3, n);
      assertTrue(w.isEmpty());
      assertFalse(w.iterator().hasNext());
    }
  }

  @Test
  void toStringNeverThrows() {
    Wishlist w = new Wishlist();
    assertEquals("Wishlist[0 entries]", w.toString());
    w.toggle(Kind.TRACK, "t");
    assertEquals("Wishlist[1 entry]", w.toString());
    w.toggle(Kind.TRACK, "u");
    assertEquals("Wishlist[2 entries]", w.toString());
    w.close();
    assertEquals("Wishlist[closed]", w.toString());
  }

  @ParameterizedTest
  @CsvSource({"Album, a1, invalid kind", "album, '', empty item_id"})
  void toggleFailuresLeaveTheStoreUnchanged(String kind, String itemId, String reason) {
    try (Wishlist w = new Wishlist()) {
      w.toggle(Kind.TRACK, "t");
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
      assertTrue(w.has(Kind.ALBUM, "\u00e9"));
      String emojiId = "\ud83c\udfa7-1";
      assertEquals(1, w.load("{\"items\":[{\"kind\":\"track\",\"itemId\":\"" + emojiId
          + "\",\"title\":\"cut\\u0000here\"}]}"));
      assertTrue(w.has(Kind.TRACK, emojiId));
      assertEquals("{\"total\":1,\"items\":[{\"kind\":\"track\",\"itemId\":\"" + emojiId
          + "\",\"title\":\"cut\",\"artist\":\"\"}]}", w.exportJson());
    }
  }

  @Test
  void failedLoadReportsInvalidJsonAndKeepsTheStore() {
    byte[][] bad = {new byte[0], utf8("[1,]"), utf8("[\"t1\"]\0"), utf8("\ufeff[]"),
        {'[', '"', (byte) 0xff, '"', ']'}, {'[', '"', (byte) 0xed, (byte) 0xa0, (byte) 0x80, '"', ']'}};
    try (Wishlist w = new Wishlist()) {
      w.load(RESPONSE);
      for (byte[] b : bad) {
        OrvelException e = assertThrows(OrvelException.class, () -> w.load(b));
        assertEquals("invalid json", e.reason());
        assertEquals(3, w.size());
      }
    }
  }

  /** String.getBytes would turn a lone surrogate into '?': a different id would load. */
  @ParameterizedTest
  @ValueSource(strings = {"[\"\ud800\"]", "[\"a\udc00\"]", "[\"\udfff\ud800\"]", "[\"x\ud83c\"]"})
  void aStringThatIsNotWellFormedUtf16FailsAsInvalidJson(String response) {
    try (Wishlist w = new Wishlist()) {
      w.load(RESPONSE);
      OrvelException e = assertThrows(OrvelException.class, () -> w.load(response));
      assertEquals(OrvelException.INVALID_JSON, e.reason());
      assertEquals(3, w.size());
    }
  }

  @Test
  void exportLoadsBackByteForByte() {
    try (Wishlist a = new Wishlist(); Wishlist b = new Wishlist()) {
      for (int i = 0; i < 50; i++) {
        a.toggle(Kind.values()[i % 4], "id-" + i, "\"" + i + "\"\\/", "\u266b");
      }
      assertEquals(50, b.load(a.exportJson()));
      assertEquals(a.exportJson(), b.exportJson());
      assertEquals(a.export(), b.export());
    }
  }

  @Test
  @SuppressWarnings("deprecation")
  void aClosedWishlistThrowsInsteadOfTouchingFreedMemory() {
    Wishlist w = new Wishlist();
    w.close();
    w.close();
    assertTrue(w.isClosed());
    assertThrows(IllegalStateException.class, w::size);
    assertThrows(IllegalStateException.class, w::isEmpty);
    assertThrows(IllegalStateException.class, w::iterator);
    assertThrows(IllegalStateException.class, w::export);
    assertThrows(IllegalStateException.class, () -> w.load("[]"));
    assertThrows(IllegalStateException.class, () -> w.has(Kind.TRACK, "t"));
    assertThrows(IllegalStateException.class, () -> w.contains("track", "t"));
    assertThrows(IllegalStateException.class, w::exportJson);
    assertThrows(IllegalStateException.class, () -> w.toggle(Kind.TRACK, "t"));
  }

  @Test
  void nullsAreJavaErrors() {
    try (Wishlist w = new Wishlist()) {
      assertThrows(NullPointerException.class, () -> w.load((byte[]) null));
      assertThrows(NullPointerException.class, () -> w.load((String) null));
      assertThrows(NullPointerException.class, () -> w.toggle(Kind.ALBUM, null));
      assertThrows(NullPointerException.class, () -> w.toggle((Kind) null, "a"));
      assertThrows(NullPointerException.class, () -> w.has((String) null, "a"));
      assertThrows(IllegalArgumentException.class, () -> w.toggle(Kind.ALBUM, "a", "\ud800", null));
    }
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
            for (int i = 0; i < 500; i++) w.toggle(Kind.TRACK, id + "-" + i);
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

  static long residentBytes() throws IOException {
    for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
      if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("[^0-9]", "")) * 1024;
    }
    throw new IOException("no VmRSS");
  }

  static long growthOver(int n, Runnable call) throws Exception {
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
        Orvel.buildWishRequest(true, Kind.TRACK, "t1", title, null);
        Orvel.buildMineUrl("B");
        w.exportJson();
        w.load(RESPONSE);
      });
      // The heap is fixed; leaking these texts would add tens of megabytes of native memory.
      assertTrue(grown < 16 << 20, "resident memory grew by " + grown + " bytes");
    }
  }

  @Test
  void aForgottenWishlistIsReleasedByTheCleaner() throws Exception {
    long grown = growthOver(100_000, () -> new Wishlist().toggle(Kind.ALBUM, "a"));
    // Each leaked store would hold about a kilobyte: a hundred megabytes here.
    assertTrue(grown < 40 << 20, "resident memory grew by " + grown + " bytes");
  }

  static byte[] utf8(String s) {
    return s.getBytes(StandardCharsets.UTF_8);
  }
}
