package org.orvel;

import java.io.ByteArrayOutputStream;
import java.io.FileOutputStream;
import java.io.FileDescriptor;
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

  private static void out(String line) {
    OUT.writeBytes((line + "\n").getBytes(StandardCharsets.UTF_8));
  }

  private static void text(String label, Supplier<String> build) {
    try {
      out(label + ": " + build.get());
    } catch (OrvelException e) {
      out(label + ": (none) error=" + e.reason());
    }
  }

  public static void main(String[] args) throws IOException {
    byte[] response = Files.readAllBytes(Path.of(args[0]));
    byte[] base = BASE.getBytes(StandardCharsets.UTF_8);
    try (Wishlist w = new Wishlist()) {
      out("version: " + Orvel.version() + " abi " + Orvel.abiVersion());
      out("load: " + w.load(response));
      out("toggle-in: " + (w.toggle("album", "al-new", NEW_TITLE, null) ? 1 : 0));
      out("toggle-out: " + (w.toggle("track", "tr-3", null, null) ? 1 : 0));
      out("has: " + (w.contains("album", "al-new") ? 1 : 0) + " " + (w.contains("track", "tr-3") ? 1 : 0));
      out("count: " + w.size());
      text("mine-url", () -> Orvel.buildMineUrl(BASE));
      text("request", () -> Orvel.buildWishRequest(true, "album", "al-new", NEW_TITLE, ARTIST, BASE));
      text("request-bad-utf8", () -> new String(Orvel.buildWishRequest(false, "album".getBytes(StandardCharsets.UTF_8),
          "al-new".getBytes(StandardCharsets.UTF_8), new byte[] {(byte) 0xff, (byte) 0xfe}, null, base),
          StandardCharsets.UTF_8));
      try {
        w.load(new byte[] {'[', '"', (byte) 0xff, '"', ']'});
      } catch (OrvelException e) {
        out("load-bad-utf8: -1 error=" + e.reason());
      }
      text("export", w::exportJson);
    }
    try (FileOutputStream stdout = new FileOutputStream(FileDescriptor.out)) {
      OUT.writeTo(stdout);
    }
  }
}
