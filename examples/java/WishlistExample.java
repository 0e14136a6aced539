// SPDX-License-Identifier: MIT
import java.io.IOException;
import java.net.ConnectException;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpConnectTimeoutException;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.time.Duration;
import java.util.Locale;
import java.util.Optional;
import org.orvel.Entry;
import org.orvel.Kind;
import org.orvel.Orvel;
import org.orvel.OrvelException;
import org.orvel.Outcome;
import org.orvel.PendingRequest;
import org.orvel.SyncedWishlist;

/**
 * The wishlist of one user, kept in step with the service: it loads the list, shows it, wishes
 * one album through the change journal, sends the change (backing off while the service fails or
 * does not answer) and shows the list again. The store and the journal are saved together in
 * FOLDER/wishlist.snapshot after every change, so a second run goes on where the first stopped.
 *
 * <pre>java -cp orvel-1.0.0.jar WishlistExample.java BASE_URL FOLDER [TIMEOUT_SECONDS]</pre>
 *
 * <p>TIMEOUT_SECONDS is each request's deadline, 10 by default.
 */
public final class WishlistExample {
  private static final int MAX_TRIES = 6;
  private static final int MAX_LIST_BYTES = 4 << 20; // a list larger than this is refused
  private static final String SNAPSHOT = "wishlist.snapshot"; // the store and the journal, saved together
  // send()'s status when no answer came: the request certainly did not leave (refused, or the
  // name did not resolve), or it may have reached the service (deadline passed, connection broken).
  private static final int NOT_SENT = 0;
  private static final int NO_ANSWER = -1;

  private final Duration timeout;
  private final HttpClient http;
  private final String baseUrl;
  private final Path folder;
  private final SyncedWishlist wishes;

  /** The status and body of one request; NOT_SENT or NO_ANSWER, with no body, when no answer came. */
  private record Answer(int status, byte[] body) {}

  /** The wishlist saved in folder, or a new one when nothing is saved there yet. */
  WishlistExample(String baseUrl, Path folder, Duration timeout) {
    this.timeout = timeout;
    this.http = HttpClient.newBuilder()
        .version(HttpClient.Version.HTTP_1_1)
        .connectTimeout(timeout)
        .followRedirects(HttpClient.Redirect.NEVER)
        .build();
    this.baseUrl = baseUrl;
    this.folder = folder;
    this.wishes = open(folder.resolve(SNAPSHOT));
  }

  /**
   * The wishlist saved at path, or a new one when there is none. A snapshot that cannot be read
   * ends the program, left as it is: starting anew would save over it.
   */
  private static SyncedWishlist open(Path path) {
    try {
      return SyncedWishlist.openSnapshot(Files.readAllBytes(path));
    } catch (NoSuchFileException none) {
      return new SyncedWishlist();
    } catch (IOException unreadable) {
      throw unreadable(path, unreadable.toString());
    } catch (OrvelException damaged) {
      throw unreadable(path, damaged.reason());
    }
  }

  /** Says why the snapshot at path cannot be read, and ends the program. */
  private static IllegalStateException unreadable(Path path, String reason) {
    System.err.println("wishlist: " + path + ": " + reason);
    System.exit(1);
    return new IllegalStateException(reason); // not reached: exit does not return
  }

  /** Replaces the file whole: a temporary file, fsync, rename, and fsync of the folder. */
  private void writeAtomically(String name, String text) throws IOException {
    Path file = folder.resolve(name);
    Path temporary = folder.resolve(name + ".tmp");
    try (FileChannel channel = FileChannel.open(temporary, StandardOpenOption.CREATE,
        StandardOpenOption.WRITE, StandardOpenOption.TRUNCATE_EXISTING)) {
      ByteBuffer bytes = ByteBuffer.wrap(text.getBytes(StandardCharsets.UTF_8));
      while (bytes.hasRemaining()) channel.write(bytes);
      channel.force(true);
    }
    Files.move(temporary, file, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
    try (FileChannel dir = FileChannel.open(folder, StandardOpenOption.READ)) {
      dir.force(true);
    }
  }

  /** The save step, after every change: the store and the journal in one snapshot. */
  void save() throws IOException {
    writeAtomically(SNAPSHOT, wishes.snapshot());
  }

  /**
   * One request's answer; past its deadline the client has cancelled the exchange and closed it,
   * so that it can no longer land after this returns.
   */
  private Answer send(HttpRequest request) throws InterruptedException {
    try {
      HttpResponse<byte[]> answer = http.send(request, HttpResponse.BodyHandlers.ofByteArray());
      return new Answer(answer.statusCode(), answer.body());
    } catch (ConnectException | HttpConnectTimeoutException neverLeft) {
      return new Answer(NOT_SENT, new byte[0]);
    } catch (IOException noAnswer) {
      return new Answer(NO_ANSWER, new byte[0]);
    }
  }

  /** Loads the list from the service; the token is taken before the request leaves. */
  void refresh() throws IOException, InterruptedException {
    long token = wishes.beginRefresh();
    Answer list =
        send(HttpRequest.newBuilder(URI.create(Orvel.buildMineUrl(baseUrl))).timeout(timeout).GET().build());
    if (list.status() / 100 == 2 && list.body().length <= MAX_LIST_BYTES) {
      try {
        wishes.load(token, list.body()); // empty (ignored) when a newer list was loaded first
        save();
        return;
      } catch (OrvelException notJson) {
        // The store stays as it was.
      }
    }
    System.out.println(
        "the list could not be loaded (HTTP " + Math.max(list.status(), 0) + "): showing the saved one");
  }

  void show() {
    System.out.println("wishlist: " + wishes.size() + " entries");
    for (Entry e : wishes) {
      System.out.println("  " + e.kind().text() + " " + e.itemId() + ": " + e.title()
          + (e.artist().isEmpty() ? "" : ", by " + e.artist()));
    }
  }

  /**
   * 2xx: applied; 408, 429, 5xx or not sent: failed, to try again later; no answer: unknown, it may
   * have landed, tried again too; other 4xx: refused for good.
   */
  static Outcome outcomeOf(int status) {
    if (status == NO_ANSWER) return Outcome.UNKNOWN;
    if (status / 100 == 2) return Outcome.ACCEPTED;
    if (status / 100 == 4 && status != 408 && status != 429) return Outcome.REJECTED;
    return Outcome.FAILED;
  }

  /** The sync step: sends the oldest unsent change and reports what became of it. */
  Optional<Outcome> syncOne() throws IOException, InterruptedException {
    Optional<PendingRequest> next = wishes.nextRequest(baseUrl);
    if (next.isEmpty()) return Optional.empty();
    PendingRequest request = next.get();
    save(); // in flight before it leaves: after a crash a later tap is sent, not cancelled
    Answer answer = send(HttpRequest.newBuilder(URI.create(request.url()))
        .timeout(timeout)
        .header("Content-Type", request.contentType())
        .method(request.method(), HttpRequest.BodyPublishers.ofString(request.body()))
        .build());
    Outcome outcome = outcomeOf(answer.status());
    wishes.report(request.opId(), outcome);
    return Optional.of(outcome);
  }

  /**
   * Sends every change, waiting longer after each failure or request without an answer (no hot
   * loop while the service is down); after MAX_TRIES of them the rest waits for a later run.
   */
  void sendChanges() throws IOException, InterruptedException {
    double delay = 0.2;
    int failures = 0;
    for (Optional<Outcome> outcome; (outcome = syncOne()).isPresent(); ) {
      save();
      if (outcome.get() == Outcome.ACCEPTED) System.out.println("sent: accepted");
      if (outcome.get() == Outcome.REJECTED) System.out.println("sent: refused by the service");
      if (outcome.get() != Outcome.FAILED && outcome.get() != Outcome.UNKNOWN) continue;
      if (++failures == MAX_TRIES) {
        System.out.println("sent: failed; " + wishes.unsent() + " changes kept for later");
        return;
      }
      String what = outcome.get() == Outcome.FAILED ? "failed" : "no answer in time";
      System.out.println(String.format(Locale.ROOT, "sent: %s, trying again in %.1f s", what, delay));
      Thread.sleep((long) (delay * 1000));
      delay = Math.min(delay * 2, 5);
    }
  }

  public static void main(String[] args) throws IOException, InterruptedException {
    double seconds = args.length == 3 ? Double.parseDouble(args[2]) : 10;
    if (args.length < 2 || args.length > 3 || !(seconds > 0)) {
      System.err.println("usage: WishlistExample BASE_URL FOLDER [TIMEOUT_SECONDS]");
      System.exit(2);
    }
    Duration timeout = Duration.ofMillis((long) (seconds * 1000));
    WishlistExample app = new WishlistExample(args[0], Path.of(args[1]), timeout);
    try (SyncedWishlist wishes = app.wishes) {
      app.refresh();
      app.show();
      long opId = wishes.setWished(Kind.ALBUM, "al-42", true, "Blue Hour", "Ines Varga");
      System.out.println(opId > 0 ? "wished album al-42" : "album al-42 is wished already");
      app.save();
      app.sendChanges();
      app.refresh();
      app.show();
      System.out.println("changes not yet confirmed: " + wishes.held());
    }
  }
}
