// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.ByteArrayOutputStream;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.function.Supplier;

/** The cross-language scenario through the Java binding (see tests/scenario/run.sh). */
public final class Scenario {
  private static final String BASE = "https://api.example.test//";
  private static final String NEW_TITLE = "Neu \u00fc \ud83c\udfa7";
  private static final String ARTIST = "He said \"hi\"\n";
  private static final ByteArrayOutputStream OUT = new ByteArrayOutputStream();

  private Scenario() {}

  static void out(String line) {
    OUT.writeBytes((line + "\n").getBytes(StandardCharsets.UTF_8));
  }

  /** Writes what was printed to the standard output, bytes unchanged. */
  static void flush() throws IOException {
    try (FileOutputStream stdout = new FileOutputStream(FileDescriptor.out)) {
      OUT.writeTo(stdout);
    }
  }

  private static void text(String label, Supplier<String> build) {
    try {
      out(label + ": " + build.get());
    } catch (OrvelException e) {
      out(label + ": (none) error=" + e.reason());
    }
  }

  /** One field of an entry as its length in UTF-8 bytes and its text. */
  private static String field(String value) {
    return " " + value.getBytes(StandardCharsets.UTF_8).length + ":" + value;
  }

  public static void main(String[] args) throws IOException {
    byte[] response = Files.readAllBytes(Path.of(args[0]));
    byte[] base = BASE.getBytes(StandardCharsets.UTF_8);
    try (Wishlist w = new Wishlist()) {
      out("version: " + Orvel.version() + " abi " + Orvel.abiVersion());
      out("load: " + w.load(response));
      out("toggle-in: " + (w.toggle(Kind.ALBUM, "al-new", NEW_TITLE, null) ? 1 : 0));
      out("toggle-out: " + (w.toggle(Kind.TRACK, "tr-3") ? 1 : 0));
      out("has: " + (w.has(Kind.ALBUM, "al-new") ? 1 : 0) + " " + (w.has(Kind.TRACK, "tr-3") ? 1 : 0));
      out("count: " + w.size());
      text("mine-url", () -> Orvel.buildMineUrl(BASE));
      text("request", () -> WishRequest.builder(true, Kind.ALBUM, "al-new").title(NEW_TITLE).artist(ARTIST)
          .baseUrl(BASE).build().json());
      text("request-bad-utf8", () -> new String(Orvel.buildWishRequest(false, "album".getBytes(StandardCharsets.UTF_8),
          "al-new".getBytes(StandardCharsets.UTF_8), new byte[] {(byte) 0xff, (byte) 0xfe}, null, base),
          StandardCharsets.UTF_8));
      try {
        w.load(new byte[] {'[', '"', (byte) 0xff, '"', ']'});
      } catch (OrvelException e) {
        out("load-bad-utf8: -1 error=" + e.reason());
      }
      text("export", w::exportJson);
      int index = 0;
      for (Entry entry : w) {
        out("entry " + index++ + ": " + entry.kind().text() + field(entry.itemId()) + field(entry.title())
            + field(entry.artist()));
      }
    }
    flush();
  }
}
