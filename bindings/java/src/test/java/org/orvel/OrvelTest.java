// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The facade: versions, kinds and the two message builders. */
class OrvelTest {
  @Test
  @SuppressWarnings("deprecation")
  void versionsSelftestAndKinds() {
    assertEquals(System.getProperty("orvel.test.version"), Orvel.version());
    assertEquals(Orvel.ABI_VERSION, Orvel.abiVersion());
    assertEquals(0, Orvel.selftest());
    for (Kind kind : Kind.values()) {
      assertTrue(Orvel.validateKind(kind.text()), kind.text());
      assertEquals(kind, Kind.of(kind.text()));
    }
    assertEquals(Arrays.stream(Kind.values()).map(Kind::text).toList(), Orvel.KINDS);
    assertFalse(Orvel.validateKind("Track"));
    IllegalArgumentException e = assertThrows(IllegalArgumentException.class, () -> Kind.of("Track"));
    assertTrue(e.getMessage().contains("\"Track\""), e.getMessage());
    assertThrows(NullPointerException.class, () -> Kind.of(null));
  }

  @ParameterizedTest
  @CsvSource({"https://x.example//, https://x.example/wishlist/api/mine", "///, /wishlist/api/mine"})
  void mineUrl(String base, String url) {
    assertEquals(url, Orvel.buildMineUrl(base));
    assertEquals(Orvel.buildMineUrl(""), Orvel.buildMineUrl(null));
    assertEquals(Orvel.buildMineUrl(""), Orvel.buildMineUrl());
  }

  @Test
  @SuppressWarnings("deprecation")
  void requestIsParsedAndKeepsTheLibraryTextByteForByte() {
    String json = "{\"method\":\"POST\",\"url\":\"B/wishlist/api/wish\",\"contentType\":\"application/json\","
        + "\"body\":\"{\\\"op\\\":\\\"add\\\",\\\"kind\\\":\\\"track\\\",\\\"itemId\\\":\\\"t1\\\","
        + "\\\"title\\\":\\\"\\\",\\\"artist\\\":\\\"A\\\"}\"}";
    WishRequest request = WishRequest.builder(true, Kind.TRACK, "t1").artist("A").baseUrl("B").build();
    assertEquals(new WishRequest("POST", "B/wishlist/api/wish", "application/json",
        "{\"op\":\"add\",\"kind\":\"track\",\"itemId\":\"t1\",\"title\":\"\",\"artist\":\"A\"}", json), request);
    assertEquals(json, Orvel.buildWishRequest(true, "track", "t1", null, "A", "B"));

    String emoji = "\ud83c\udfb5 \u266b \"\\\t\u0001/";
    WishRequest removal = Orvel.buildWishRequest(false, Kind.ALBUM, "a", emoji, null);
    assertTrue(removal.body().contains("\"title\":\"\ud83c\udfb5 \u266b \\\"\\\\\\t\\u0001/\""), removal.body());
    assertTrue(removal.url().endsWith("/wishlist/api/wish"), removal.url());
    byte[] bytes = Orvel.buildWishRequest(false, utf8("album"), utf8("a"), utf8(emoji), null, null);
    assertArrayEquals(removal.json().getBytes(StandardCharsets.UTF_8), bytes);
    assertEquals(Orvel.buildWishRequest(true, Kind.ARTIST, "r"), WishRequest.builder(true, Kind.ARTIST, "r").build());
  }

  @ParameterizedTest
  @CsvSource({"Album, a, invalid kind", "Album, '', invalid kind", "album, '', empty item_id"})
  void requestErrorsCarryTheLibraryReason(String kind, String itemId, String reason) {
    OrvelException e = assertThrows(OrvelException.class,
        () -> Orvel.buildWishRequest(true, utf8(kind), utf8(itemId), null, null, null));
    assertEquals(reason, e.reason());
  }

  @Test
  void anEmptyItemIdIsTheLibrarysReasonAlsoThroughTheBuilder() {
    OrvelException e = assertThrows(OrvelException.class, () -> Orvel.buildWishRequest(true, Kind.TRACK, ""));
    assertEquals(OrvelException.EMPTY_ITEM_ID, e.reason());
    assertEquals("cannot build the wish request: empty item_id", e.getMessage());
  }

  @Test
  void invalidUtf8GivesNoRequestAndNoReason() {
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
    assertThrows(NullPointerException.class, () -> Orvel.buildWishRequest(true, (Kind) null, "a"));
    assertThrows(NullPointerException.class, () -> Orvel.buildWishRequest(true, Kind.ALBUM, null));
    assertThrows(NullPointerException.class, () -> Orvel.buildWishRequest(true, null, utf8("a"), null, null, null));
    assertThrows(NullPointerException.class, () -> Orvel.validateKind(null));
    assertThrows(IllegalArgumentException.class, () -> Orvel.buildWishRequest(true, Kind.ALBUM, "a\0b"));
    assertThrows(IllegalArgumentException.class,
        () -> WishRequest.builder(true, Kind.ALBUM, "a").title("\ud800").build());
    assertThrows(IllegalArgumentException.class, () -> Orvel.buildMineUrl("\udc00x"));
  }

  static byte[] utf8(String s) {
    return s.getBytes(StandardCharsets.UTF_8);
  }
}
