// SPDX-License-Identifier: MIT
package org.orvel;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** The saved state: the order of the file operations, damage refused, one client per folder. */
class StateDirTest {
  private static final String NOWHERE = "http://127.0.0.1:9";  // never contacted: no pass runs

  /** The system's file layer, each call recorded with what the file held at that moment. */
  static final class Recording implements StateDir.FileLayer {
    final List<String> calls = new ArrayList<>();
    String failAt = "";

    @Override
    public FileChannel create(Path file) throws IOException {
      calls.add("create " + file.getFileName());
      return SYSTEM.create(file);
    }

    @Override
    public void force(FileChannel file) throws IOException {
      calls.add("force " + file.size() + " bytes");
      if (failAt.equals("force")) throw new IOException("disk full");
      SYSTEM.force(file);
    }

    @Override
    public void rename(Path from, Path to) throws IOException {
      calls.add("rename " + from.getFileName() + " " + to.getFileName());
      if (failAt.equals("rename")) throw new IOException("cannot rename");
      SYSTEM.rename(from, to);
    }

    @Override
    public void forceFolder(Path folder) throws IOException {
      calls.add("force folder " + folder.getFileName());
      SYSTEM.forceFolder(folder);
    }
  }

  @Test
  void eachSaveWritesForcesRenamesThenForcesTheFolder(@TempDir Path dir) throws Exception {
    Recording files = new Recording();
    Path state = dir.resolve("state");
    try (WishlistClient client = new WishlistClient(NOWHERE, state, ClientOptions.defaults(), files)) {
      files.calls.clear();
      client.setWished(Kind.ALBUM, "al-1", true, "Blue Hour", "Ines Varga");
      long size = Files.size(state.resolve("wishlist.snapshot"));
      assertEquals(List.of("create wishlist.snapshot.tmp", "force " + size + " bytes",
          "rename wishlist.snapshot.tmp wishlist.snapshot", "force folder state"), files.calls,
          "the data is on the disk before the rename, the rename before the call returns");
      assertFalse(Files.exists(state.resolve("wishlist.snapshot.tmp")));
    }
  }

  /** Requests are saved in flight in batches and answers share the next save: not one save each. */
  @Test
  void aPassOfAHundredChangesSavesAFewTimes(@TempDir Path dir) throws Exception {
    Recording files = new Recording();
    try (ServiceProcess service = new ServiceProcess();
        WishlistClient client = new WishlistClient(service.baseUrl, dir, ClientOptions.defaults(), files)) {
      for (int i = 0; i < 100; i++) client.setWished(Kind.TRACK, "tr-" + i, true);
      files.calls.clear();
      SyncSummary s = client.syncNow(Duration.ofSeconds(60));
      assertEquals(List.of(100, 100, true), List.of(s.sent(), s.accepted(), s.refreshed()), s.toString());
      assertEquals(100, service.keys().size());
      long saves = files.calls.stream().filter(c -> c.startsWith("rename")).count();
      assertTrue(saves > 1 && saves < 10, saves + " saves");
    }
  }

  @ParameterizedTest
  @ValueSource(strings = {"force", "rename"})
  void aSaveThatFailsSaysSoAndLeavesTheLastSnapshot(String failAt, @TempDir Path dir) throws Exception {
    Recording files = new Recording();
    try (WishlistClient client = new WishlistClient(NOWHERE, dir, ClientOptions.defaults(), files)) {
      client.setWished(Kind.ALBUM, "al-1", true);
      byte[] saved = Files.readAllBytes(dir.resolve("wishlist.snapshot"));
      files.failAt = failAt;
      IOException e = assertThrows(IOException.class, () -> client.setWished(Kind.ALBUM, "al-2", true));
      assertTrue(e.getMessage().contains(dir.resolve("wishlist.snapshot").toString()), e.getMessage());
      assertArrayEquals(saved, Files.readAllBytes(dir.resolve("wishlist.snapshot")));
      assertFalse(Files.exists(dir.resolve("wishlist.snapshot.tmp")));
      assertTrue(client.wished(Kind.ALBUM, "al-2"), "shown, and saved by the next save that succeeds");
      files.failAt = "";
    }
    try (WishlistClient again = new WishlistClient(NOWHERE, dir)) {
      assertTrue(again.wished(Kind.ALBUM, "al-2"));  // the last save, at close
    }
  }

  @ParameterizedTest
  @ValueSource(strings = {"", "{", "not json", "{\"format\":\"something else\"}", "truncate"})
  void aDamagedSnapshotIsRefusedNamingTheFileAndLeftAsItIs(String damage, @TempDir Path dir) throws Exception {
    try (WishlistClient client = new WishlistClient(NOWHERE, dir)) {
      client.setWished(Kind.TRACK, "tr-1", true, "Title", "Artist");
    }
    Path file = dir.resolve("wishlist.snapshot");
    String good = Files.readString(file);
    byte[] bad = (damage.equals("truncate") ? good.substring(0, good.length() / 2) : damage)
        .getBytes(StandardCharsets.UTF_8);
    Files.write(file, bad);
    IOException e = assertThrows(IOException.class, () -> new WishlistClient(NOWHERE, dir));
    assertTrue(e.getMessage().contains(file.toString()), e.getMessage());
    assertArrayEquals(bad, Files.readAllBytes(file), "never replaced by an empty list");
    // The refused open let the folder go: the good text opens again.
    Files.writeString(file, good);
    try (WishlistClient client = new WishlistClient(NOWHERE, dir)) {
      assertTrue(client.wished(Kind.TRACK, "tr-1"));
    }
  }

  @Test
  void aSecondOpenOfTheFolderIsRefusedNamingIt(@TempDir Path dir) throws Exception {
    try (WishlistClient first = new WishlistClient(NOWHERE, dir)) {
      IOException e = assertThrows(IOException.class, () -> new WishlistClient(NOWHERE, dir));
      assertTrue(e.getMessage().contains(dir.toString()) && e.getMessage().contains("open already"), e.getMessage());
      // In another process too (the lock is the file system's, not this JVM's).
      ChildJvmResult child = ChildJvmResult.run(OpenOnce.class, dir.toString());
      assertEquals(3, child.status(), child.output());
      assertTrue(child.output().contains("open already"), child.output());
      first.setWished(Kind.TRACK, "tr-1", true);
    }
    ChildJvmResult child = ChildJvmResult.run(OpenOnce.class, dir.toString());
    assertEquals(0, child.status(), child.output());
  }

  @Test
  void anInstallationKeepsItsIdAndAnotherHasItsOwn(@TempDir Path dir) throws Exception {
    String[] ids = new String[3];
    for (int i = 0; i < 3; i++) {
      Path folder = dir.resolve(i < 2 ? "one" : "two");
      try (StateDir state = StateDir.open(folder, StateDir.FileLayer.SYSTEM)) {
        ids[i] = state.installationId();
      }
    }
    assertEquals(ids[0], ids[1]);
    assertFalse(ids[0].equals(ids[2]));
    assertTrue(ids[2].matches("[0-9a-f]{32}"));
  }

  /**
   * The folder as a SIGKILL would leave it while a request is on the wire must show that request
   * as sent: else a later opposite tap cancels it as never sent, and the change that did land
   * comes back in the next refresh with nothing held to undo it.
   */
  @Test
  void aCrashWhileARequestIsOnTheWireLosesNoLaterTap(@TempDir Path dir) throws Exception {
    Path a = dir.resolve("a");
    Path killed = dir.resolve("killed");
    ClientOptions options = ClientOptions.defaults().withRequestTimeout(Duration.ofSeconds(2))
        .withBackoff(Duration.ofMillis(10), Duration.ofMillis(200));
    ExecutorService background = Executors.newSingleThreadExecutor();
    try (ServiceProcess service = new ServiceProcess()) {
      // No answer; the addition is applied once the client gives up and closes the connection.
      service.control("{\"faults\": [{\"action\": \"hold\", \"itemId\": \"tr-x\"}]}");
      try (WishlistClient client = new WishlistClient(service.baseUrl, a, options)) {
        client.setWished(Kind.TRACK, "tr-x", true);
        Future<SyncSummary> pass = background.submit(() -> client.syncNow(Duration.ofSeconds(20)));
        long giveUp = System.nanoTime() + Duration.ofSeconds(20).toNanos();
        while (service.requestsFor("tr-x").isEmpty()) {
          assertTrue(System.nanoTime() - giveUp < 0, "the request never reached the service");
          Thread.sleep(10);
        }
        Files.createDirectories(killed);
        for (String file : List.of("wishlist.snapshot", "installation-id")) {
          Files.copy(a.resolve(file), killed.resolve(file));
        }
        SyncSummary ended = pass.get();
        assertEquals(1, ended.unknown(), ended.toString());
      }
      for (long end = System.nanoTime() + Duration.ofSeconds(10).toNanos(); !service.keys().contains("track:tr-x"); ) {
        assertTrue(System.nanoTime() - end < 0, "the held addition was never applied");
        Thread.sleep(20);
      }
      try (WishlistClient client = new WishlistClient(service.baseUrl, killed, options)) {
        client.setWished(Kind.TRACK, "tr-x", false);
        for (int pass = 0; pass < 2 && client.pending() > 0; pass++) client.syncNow(Duration.ofSeconds(20));
        assertEquals(List.of(), service.keys(), "the user's last tap reached the service");
        assertFalse(client.wished(Kind.TRACK, "tr-x"));
        assertEquals(0, client.pending(), client.status(Kind.TRACK, "tr-x").toString());
      }
    } finally {
      background.shutdownNow();
    }
  }

  /** Opens the folder given once: exit 0, or 3 with the error printed. */
  public static final class OpenOnce {
    public static void main(String[] args) {
      try (WishlistClient client = new WishlistClient(NOWHERE, Path.of(args[0]))) {
        System.out.println(client.size() + " entries");
      } catch (IOException e) {
        System.out.println(e.getMessage());
        System.exit(3);
      }
    }
  }
}
