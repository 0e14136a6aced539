// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Finding the two shims, in child JVMs: each finds them its own way, once. */
class LoadingTest {
  private final Path coreShim = Path.of(System.getProperty(Orvel.LIBRARY_PATH_PROPERTY));
  private final Path syncShim = Path.of(System.getProperty("orvel.test.syncShim"));

  @Test
  void aMissingShimIsExplainedTheSameOnEveryCall() throws Exception {
    ChildJvm child = ChildJvm.run(MissingShim.class, "-Dorvel.library.path=/nonexistent/liborvel_jni.so");
    assertEquals(0, child.status(), child.output());
    assertTrue(child.output().startsWith("liborvel's JNI shim could not be loaded. Tried: "
        + "/nonexistent/liborvel_jni.so (-Dorvel.library.path): no such file."), child.output());
    assertTrue(child.output().contains("Fix: start the JVM with -Dorvel.library.path="), child.output());
  }

  @Test
  void theShimsBesideTheJarAreFoundUnaided() throws Exception {
    // The build tree holds the jar and the shims side by side, as the tests' class path shows.
    ChildJvm child = ChildJvm.run(UsesBoth.class);
    assertEquals(0, child.status(), child.output());
    assertEquals("selftest 0, journal 1, liborvel-sync loaded\n", child.output());
  }

  /** A program of Wishlists alone runs without liborvel-sync's shim, which loads only when used. */
  @Test
  void theJournalsShimIsLoadedOnlyWhenUsedAndItsAbsenceExplained(@TempDir Path dir) throws Exception {
    Files.copy(coreShim, dir.resolve(coreShim.getFileName()));
    ChildJvm child = ChildJvm.run(WishlistOnly.class, "-Dorvel.library.path=" + dir);
    assertEquals(0, child.status(), child.output());
    String[] lines = child.output().split("\n");
    assertEquals("wishlist 1, liborvel-sync not loaded", lines[0]);
    String expected = "liborvel-sync's JNI shim could not be loaded. Tried: " + dir.resolve("liborvel_sync_jni.so")
        + " (beside liborvel's shim): no such file; liborvel_sync_jni.so on java.library.path (";
    assertTrue(lines[1].startsWith(expected), lines[1]);
    assertTrue(lines[1].endsWith("Fix: start the JVM with -Dorvel.sync.library.path=/path/to/liborvel_sync_jni.so"
        + " (or its folder), or put that folder on java.library.path; liborvel-sync.so.1 must be beside the shim"
        + " or on the system loader path."), lines[1]);
    assertEquals("the same again", lines[2]);
  }

  @Test
  void theJournalsShimIsFoundBesideLiborvelsOrWhereItsPropertySays(@TempDir Path dir) throws Exception {
    Path core = Files.createDirectory(dir.resolve("core"));
    Path sync = Files.createDirectory(dir.resolve("sync"));
    Files.copy(coreShim, core.resolve(coreShim.getFileName()));
    Files.copy(syncShim, sync.resolve(syncShim.getFileName()));
    // Named by its own property (file or folder), the journal's shim need not be beside the other.
    for (String given : new String[] {sync.toString(), sync.resolve(syncShim.getFileName()).toString()}) {
      ChildJvm child = ChildJvm.run(UsesBoth.class, "-Dorvel.library.path=" + core, "-Dorvel.sync.library.path=" + given);
      assertEquals("selftest 0, journal 1, liborvel-sync loaded\n", child.output());
    }
    // Beside liborvel's shim, wherever that was found.
    Files.copy(syncShim, core.resolve(syncShim.getFileName()));
    ChildJvm child = ChildJvm.run(UsesBoth.class, "-Dorvel.library.path=" + core.resolve(coreShim.getFileName()));
    assertEquals("selftest 0, journal 1, liborvel-sync loaded\n", child.output());
  }

  @Test
  void aFileThatIsNoShimIsNamedWithTheLoadersReason(@TempDir Path dir) throws Exception {
    Path fake = dir.resolve("liborvel_sync_jni.so");
    Files.writeString(fake, "not a library");
    Files.copy(coreShim, dir.resolve(coreShim.getFileName()), StandardCopyOption.REPLACE_EXISTING);
    ChildJvm child = ChildJvm.run(WishlistOnly.class, "-Dorvel.library.path=" + dir);
    assertTrue(child.output().contains(fake + " (beside liborvel's shim): "), child.output());
    assertFalse(child.output().contains(fake + " (beside liborvel's shim): no such file"), child.output());
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

  /** Run in a child JVM: uses both libraries, found however the shims are found. */
  static final class UsesBoth {
    public static void main(String[] args) throws Exception {
      try (SyncedWishlist s = new SyncedWishlist()) {
        System.out.println("selftest " + Orvel.selftest() + ", journal " + s.setWished(Kind.TRACK, "t", true)
            + (ChildJvm.mapped("liborvel-sync.so") ? ", liborvel-sync loaded" : ", liborvel-sync not loaded"));
      }
    }
  }

  /** Run in a child JVM: a Wishlist without liborvel-sync, then a SyncedWishlist that cannot load. */
  static final class WishlistOnly {
    public static void main(String[] args) throws Exception {
      try (Wishlist w = new Wishlist()) {
        w.toggle(Kind.TRACK, "t");
        System.out.println("wishlist " + w.size()
            + (ChildJvm.mapped("liborvel-sync") || ChildJvm.mapped("orvel_sync_jni") ? ", liborvel-sync loaded" : ", liborvel-sync not loaded"));
      }
      String first = null;
      for (int i = 0; i < 2; i++) {
        try (SyncedWishlist s = new SyncedWishlist()) {
          System.out.println("loaded " + s);
        } catch (UnsatisfiedLinkError e) {
          System.out.println(first == null ? e.getMessage() : first.equals(e.getMessage()) ? "the same again" : "another");
          if (first == null) first = e.getMessage();
        }
      }
    }
  }
}
