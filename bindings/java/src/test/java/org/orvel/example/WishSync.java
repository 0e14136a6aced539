// SPDX-License-Identifier: MIT
package org.orvel.example;

import static java.nio.file.StandardCopyOption.ATOMIC_MOVE;
import static java.nio.file.StandardCopyOption.REPLACE_EXISTING;
import static java.nio.file.StandardOpenOption.CREATE;
import static java.nio.file.StandardOpenOption.READ;
import static java.nio.file.StandardOpenOption.TRUNCATE_EXISTING;
import static java.nio.file.StandardOpenOption.WRITE;

import java.io.IOException;
import java.net.ConnectException;
import java.net.URI;
import java.net.UnknownHostException;
import java.net.http.HttpClient;
import java.net.http.HttpConnectTimeoutException;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.Optional;
import java.util.concurrent.ThreadLocalRandom;
import org.orvel.Kind;
import org.orvel.Orvel;
import org.orvel.Outcome;
import org.orvel.PendingRequest;
import org.orvel.SyncedWishlist;

/** An app's wishlist kept in step with the service, its changes saved across restarts. */
public final class WishSync implements AutoCloseable {
  private final HttpClient http;
  private final Duration deadline;
  private final String baseUrl;
  private final Path file;
  private final SyncedWishlist wishes;

  /** Opens the wishlist as its last snapshot in file saved it, or starts a new one. */
  public WishSync(String baseUrl, Path file, Duration deadline) throws IOException {
    this.http = HttpClient.newBuilder().connectTimeout(deadline).build();
    this.deadline = deadline;
    this.baseUrl = baseUrl;
    this.file = file.toAbsolutePath();
    this.wishes = Files.exists(file) ? SyncedWishlist.openSnapshot(Files.readAllBytes(file)) : new SyncedWishlist();
  }

  /** What the screen shows: the entries, and how many changes are not yet confirmed. */
  public SyncedWishlist wishes() {
    return wishes;
  }

  /** The user taps "wish" or "unwish": shown at once, saved, sent by the next pass. */
  public void setWished(Kind kind, String itemId, boolean wished, String title, String artist)
      throws IOException {
    wishes.setWished(kind, itemId, wished, title, artist);
    save();
  }

  /** One pass: sends each change waiting once (a failed one goes behind the rest). True when none failed. */
  public boolean send() throws IOException, InterruptedException {
    boolean allWent = true;
    for (int n = wishes.unsent(); n > 0; n--) {
      Optional<PendingRequest> next = wishes.nextRequest(baseUrl);
      if (next.isEmpty()) break;
      PendingRequest request = next.get();
      save(); // in flight before it leaves: after a crash a later tap is sent, not cancelled
      Outcome outcome = post(request);
      wishes.report(request.opId(), outcome);
      save();
      allWent &= outcome == Outcome.ACCEPTED || outcome == Outcome.REJECTED;
    }
    return allWent;
  }

  /** Sends one request: what became of it. */
  private Outcome post(PendingRequest request) throws InterruptedException {
    HttpRequest post = HttpRequest.newBuilder(URI.create(request.url()))
        .timeout(deadline)
        .header("Content-Type", request.contentType())
        .method(request.method(), HttpRequest.BodyPublishers.ofString(request.body()))
        .build();
    try {
      int status = http.send(post, HttpResponse.BodyHandlers.discarding()).statusCode();
      if (status / 100 == 2) return Outcome.ACCEPTED;
      if (status / 100 == 4 && status != 408 && status != 429) return Outcome.REJECTED;
      return Outcome.FAILED;  // "try again": 408, 429, 5xx
    } catch (ConnectException | HttpConnectTimeoutException | UnknownHostException notSent) {
      return Outcome.FAILED;  // no connection was made: it never left
    } catch (IOException noAnswer) {
      // The deadline passed (HttpTimeoutException) or the connection broke: it may have arrived.
      return Outcome.UNKNOWN;
    }
  }

  /** Refills the wishlist from the service; false when the list could not be fetched. */
  public boolean refresh() throws IOException, InterruptedException {
    long token = wishes.beginRefresh();  // before the request leaves
    HttpRequest get = HttpRequest.newBuilder(URI.create(Orvel.buildMineUrl(baseUrl)))
        .timeout(deadline)
        .GET()
        .build();
    HttpResponse<byte[]> answer;
    try {
      answer = http.send(get, HttpResponse.BodyHandlers.ofByteArray());
    } catch (IOException noList) {
      return false;  // the list stays as it was
    }
    if (answer.statusCode() / 100 != 2) return false;
    wishes.load(token, answer.body());  // empty (ignored) when a later fetch was loaded first
    save();
    return true;
  }

  /**
   * Sends the changes and refreshes the list, waiting longer after each pass that failed (twice as
   * long each time, up to longestWait). True once all went through; false after passes passes.
   */
  public boolean sync(int passes, Duration firstWait, Duration longestWait)
      throws IOException, InterruptedException {
    for (int failed = 0; failed < passes; ) {
      if (send() && refresh()) return true;
      failed++;
      long wait = Math.min(longestWait.toMillis(), firstWait.toMillis() << Math.min(failed - 1, 20));
      Thread.sleep(wait / 2 + ThreadLocalRandom.current().nextLong(wait / 2 + 1));  // spread out
    }
    return false;
  }

  /** Saves one snapshot: the file is replaced whole, or not at all. */
  private void save() throws IOException {
    Path written = file.resolveSibling(file.getFileName() + ".new");
    try (FileChannel out = FileChannel.open(written, WRITE, CREATE, TRUNCATE_EXISTING)) {
      ByteBuffer bytes = ByteBuffer.wrap(wishes.snapshot().getBytes(StandardCharsets.UTF_8));
      while (bytes.hasRemaining()) out.write(bytes);
      out.force(true);
    }
    Files.move(written, file, REPLACE_EXISTING, ATOMIC_MOVE);
    try (FileChannel folder = FileChannel.open(file.getParent(), READ)) {
      folder.force(true);  // and the rename is on the disk too
    }
  }

  @Override
  public void close() {
    wishes.close();
  }
}
