// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.List;
import java.util.SplittableRandom;
import java.util.TreeSet;
import java.util.concurrent.TimeUnit;

/**
 * The crash test: a child JVM syncs in the background against the sample service while the user
 * keeps tapping (a fixed sequence, each tap printed once setWished has returned), and is killed
 * with SIGKILL at a seeded random moment; after each kill the folder must open, with every tap
 * printed in it. Run as {@code CrashCycles CYCLES [SEED]}; exits 1 at the first tap lost.
 */
public final class CrashCycles {
  private static final int ITEMS = 40;

  /** Tap i: one of ITEMS tracks (each once per block of ITEMS taps), wished in even blocks. */
  static String item(int tap) {
    return "t-" + (tap * 7 % ITEMS);
  }

  static boolean wished(int tap) {
    return (tap / ITEMS) % 2 == 0;
  }

  /** What the store must show after the first n taps. */
  static TreeSet<String> after(int n) {
    TreeSet<String> shown = new TreeSet<>();
    for (int tap = Math.max(0, n - ITEMS); tap < n; tap++) {
      if (wished(tap)) shown.add(item(tap));
      else shown.remove(item(tap));
    }
    return shown;
  }

  static ClientOptions options() {
    return ClientOptions.defaults().withBackoff(Duration.ofMillis(10), Duration.ofMillis(200))
        .withRequestTimeout(Duration.ofSeconds(5));
  }

  public static void main(String[] args) throws Exception {
    int cycles = Integer.parseInt(args[0]);
    SplittableRandom random = new SplittableRandom(args.length > 1 ? Long.parseLong(args[1]) : 20261210L);
    Path dir = Files.createTempDirectory("orvel-crash");
    Path output = Files.createTempFile("orvel-crash", ".out");
    int confirmed = 0;
    int printed = 0;
    int nextTapSaved = 0;
    long started = System.nanoTime();
    try (ServiceProcess service = new ServiceProcess("--max-seconds", "580")) {  // within CTest's 600 s
      for (int cycle = 0; cycle < cycles; cycle++) {
        // The child's output goes to a file: a pipe read while the process dies can lose what it held.
        Process child = new ProcessBuilder(ChildJvmResult.command(Child.class, dir.toString(), service.baseUrl,
            Integer.toString(confirmed))).redirectErrorStream(true).redirectOutput(output.toFile()).start();
        long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(120);
        while (!Files.readString(output).startsWith("ready\n")) {
          if (!child.isAlive() || System.nanoTime() - giveUp > 0) {
            throw new IllegalStateException("the child never got ready: " + Files.readString(output));
          }
          Thread.sleep(5);
        }
        Thread.sleep(random.nextInt(0, 200));
        child.destroyForcibly();  // SIGKILL
        child.waitFor();
        List<String> lines = Files.readAllLines(output);
        int last = confirmed - 1;
        for (String line : lines) {
          if (line.startsWith("tap ")) {
            last = Integer.parseInt(line.substring(4));
            printed++;
          } else if (!line.equals("ready")) {
            System.out.println("child said: " + line);
          }
        }
        TreeSet<String> state = new TreeSet<>();
        try (WishlistClient reopened = new WishlistClient(service.baseUrl, dir, options())) {
          for (Entry e : reopened.entries()) state.add(e.itemId());
        } catch (IOException | RuntimeException cannotOpen) {
          System.out.println("cycle " + cycle + ": the state does not open: " + cannotOpen);
          System.exit(1);
        }
        // The tap after the last one printed may have been saved before the kill as well.
        if (state.equals(after(last + 1))) {
          confirmed = last + 1;
        } else if (state.equals(after(last + 2))) {
          confirmed = last + 2;
          nextTapSaved++;
        } else {
          System.out.println("cycle " + cycle + ": a tap was lost: after tap " + last + " the state shows " + state
              + ", not " + after(last + 1));
          System.exit(1);
        }
      }
      // Every tap reaches the service once the client runs again.
      try (WishlistClient client = new WishlistClient(service.baseUrl, dir, options())) {
        for (int pass = 0; pass < 20 && client.pending() > 0; pass++) client.syncNow(Duration.ofSeconds(60));
        TreeSet<String> theirs = new TreeSet<>();
        for (String key : service.keys()) theirs.add(key.substring(key.indexOf(':') + 1));
        if (client.pending() != 0 || !theirs.equals(after(confirmed))) {
          System.out.println("the service has " + theirs + ", not " + after(confirmed) + "; " + client.pending()
              + " changes held");
          System.exit(1);
        }
      }
    }
    deleteTree(dir);
    Files.delete(output);
    System.out.printf("%d kills with SIGKILL, %d taps printed before them (%d saved taps in all, %d of them "
        + "unprinted), 0 lost, the state opened every time, the service has the last taps; %.0f s%n",
        cycles, printed, confirmed, nextTapSaved, (System.nanoTime() - started) / 1e9);
  }

  /** Removes a test's folder and everything in it. */
  static void deleteTree(Path dir) throws IOException {
    try (var paths = Files.walk(dir)) {
      for (Path p : paths.sorted(java.util.Comparator.reverseOrder()).toList()) Files.delete(p);
    }
  }

  /** The child: opens the folder, syncs in the background, and taps from the tap given on. */
  public static final class Child {
    public static void main(String[] args) throws Exception {
      Path dir = Path.of(args[0]);
      int tap = Integer.parseInt(args[2]);
      WishlistClient client = new WishlistClient(args[1], dir, options());
      client.start();
      System.out.println("ready");
      System.out.flush();
      while (true) {
        client.setWished(Kind.TRACK, item(tap), wished(tap), "Track " + item(tap), "");
        System.out.println("tap " + tap);
        System.out.flush();
        tap++;
        Thread.sleep(2);
      }
    }
  }
}
