package org.orvel.example;

import java.io.IOException;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.time.Duration;
import java.util.Optional;
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
  private final Path journalFile;
  private final Path storeFile;
  private final SyncedWishlist wishes;

  /** Opens the wishlist saved in folder, or starts a new one. */
  public WishSync(String baseUrl, Path folder, Duration deadline) throws IOException {
    this.http = HttpClient.newBuilder().connectTimeout(deadline).build();
    this.deadline = deadline;
    this.baseUrl = baseUrl;
    this.journalFile = folder.resolve("journal.json");
    this.storeFile = folder.resolve("wishlist.json");
    this.wishes = Files.exists(journalFile)
        ? SyncedWishlist.restore(Files.readString(journalFile), Files.readString(storeFile))
        : new SyncedWishlist();
  }

  /** What the screen shows: the entries, and how many changes are not yet confirmed. */
  public SyncedWishlist wishes() {
    return wishes;
  }

  /** The user taps "wish" or "unwish": shown at once, saved, sent by the next send(). */
  public void setWished(Kind kind, String itemId, boolean wished, String title, String artist)
      throws IOException {
    wishes.setWished(kind, itemId, wished, title, artist);
    save();
  }

  /** Sends what the journal holds, one request at a time; stops at a failure, for a later pass. */
  public void send() throws IOException, InterruptedException {
    Optional<PendingRequest> next;
    while ((next = wishes.nextRequest(baseUrl)).isPresent()) {
      PendingRequest request = next.get();
      Outcome outcome = post(request);
      wishes.report(request.opId(), outcome);
      save();
      if (outcome == Outcome.FAILED) return;
    }
  }

  private Outcome post(PendingRequest request) throws InterruptedException {
    HttpRequest post = HttpRequest.newBuilder(URI.create(request.url()))
        .timeout(deadline)
        .header("Content-Type", request.contentType())
        .method(request.method(), HttpRequest.BodyPublishers.ofString(request.body()))
        .build();
    try {
      int status = http.send(post, HttpResponse.BodyHandlers.discarding()).statusCode();
      return status / 100 == 2 ? Outcome.ACCEPTED : status / 100 == 4 ? Outcome.REJECTED : Outcome.FAILED;
    } catch (IOException noAnswer) {
      // Refused, reset, or past its deadline (HttpTimeoutException): the client has closed the
      // exchange, so the request can no longer arrive. It will be sent again.
      return Outcome.FAILED;
    }
  }

  /** Refills the wishlist from the service; the token is taken before the request leaves. */
  public void refresh() throws IOException, InterruptedException {
    long token = wishes.beginRefresh();
    HttpRequest get = HttpRequest.newBuilder(URI.create(Orvel.buildMineUrl(baseUrl)))
        .timeout(deadline)
        .GET()
        .build();
    HttpResponse<byte[]> answer = http.send(get, HttpResponse.BodyHandlers.ofByteArray());
    if (answer.statusCode() / 100 != 2) throw new IOException("the list answered " + answer.statusCode());
    wishes.load(token, answer.body());  // empty (ignored) when a later fetch was loaded first
    save();
  }

  /** Saves the store and the journal, each file replaced whole. */
  private void save() throws IOException {
    replace(storeFile, wishes.exportJson());
    replace(journalFile, wishes.save());
  }

  private static void replace(Path file, String text) throws IOException {
    Path written = file.resolveSibling(file.getFileName() + ".new");
    Files.writeString(written, text);
    Files.move(written, file, StandardCopyOption.REPLACE_EXISTING, StandardCopyOption.ATOMIC_MOVE);
  }

  @Override
  public void close() {
    wishes.close();
  }
}
