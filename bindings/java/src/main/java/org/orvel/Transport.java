// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.ByteArrayOutputStream;
import java.net.ConnectException;
import java.net.URI;
import java.net.UnknownHostException;
import java.net.http.HttpClient;
import java.net.http.HttpConnectTimeoutException;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.ByteBuffer;
import java.nio.channels.UnresolvedAddressException;
import java.time.Duration;
import java.time.Instant;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Optional;
import java.util.concurrent.CancellationException;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CompletionException;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Flow;
import java.util.concurrent.ScheduledExecutorService;
import java.util.concurrent.ScheduledFuture;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;
import javax.net.ssl.SSLHandshakeException;

/**
 * The client's HTTP, over java.net.http.HttpClient: a wish POST or a list GET, each bounded by
 * one deadline from connect to last byte, redirects followed to the same origin only, answers
 * turned into the journal's outcomes. No header value ever goes into a reason text.
 */
final class Transport implements AutoCloseable {
  /** Hops of same-origin redirects followed before a request is given up. */
  static final int MAX_REDIRECTS = 5;

  /** What became of one wish request. */
  record Answer(Outcome outcome, int status, Optional<Duration> retryAfter, boolean unreachable, String reason) {}

  /** A list fetch: the body (null when it failed), the status (0 with no answer), why it failed. */
  record Listing(byte[] body, int status, boolean unreachable, String reason) {}

  private final HttpClient http;
  private final ExecutorService threads;
  private final ScheduledExecutorService timer;
  private final Supplier<Map<String, String>> headers;
  private final Duration backoffCap;

  Transport(ClientOptions options) {
    HttpClient.Builder builder = options.http;
    if (builder == null) {
      threads = Executors.newCachedThreadPool(Transport::daemon);
      builder = HttpClient.newBuilder().executor(threads);
    } else {
      threads = null;
    }
    http = builder.followRedirects(HttpClient.Redirect.NEVER).connectTimeout(options.requestTimeout).build();
    timer = Executors.newSingleThreadScheduledExecutor(Transport::daemon);
    headers = options.headers;
    backoffCap = options.backoffCap;
  }

  private static Thread daemon(Runnable r) {
    Thread t = new Thread(r, "orvel-http");
    t.setDaemon(true);
    return t;
  }

  /** One request on its way, with its deadline; cancel() gives it up (the connection is closed). */
  final class Call<T> {
    final CompletableFuture<T> result = new CompletableFuture<>();
    private volatile CompletableFuture<?> current;
    private volatile String stopped;
    private final ScheduledFuture<?> deadline;

    Call(Duration timeout) {
      deadline = timer.schedule(() -> stop("no complete answer within " + millis(timeout)), timeout.toNanos(),
          TimeUnit.NANOSECONDS);
    }

    /** Gives the request up, for the reason given (the client is closing, a deadline passed). */
    void stop(String why) {
      if (stopped == null) stopped = why;
      CompletableFuture<?> c = current;
      if (c != null) c.cancel(true);
    }

    boolean done() {
      return result.isDone();
    }

    T join() throws InterruptedException {
      try {
        return result.get();
      } catch (ExecutionException e) {
        throw new IllegalStateException(e.getCause());
      }
    }
  }

  /** Sends a wish request: the answer becomes an outcome. Never completes exceptionally. */
  Call<Answer> send(PendingRequest request, String idempotencyKey, Duration timeout) {
    Call<Answer> call = new Call<>(timeout);
    HttpRequest.BodyPublisher body = HttpRequest.BodyPublishers.ofString(request.body());
    hop(call, URI.create(request.url()), 0, uri -> {
      return HttpRequest.newBuilder(uri).header("Content-Type", request.contentType())
          .header("Idempotency-Key", idempotencyKey).method(request.method(), body);
    }, HttpResponse.BodyHandlers.discarding(), (response, uri) -> wishAnswer(response, uri),
        (error, uri) -> failure(call, error, "POST " + shown(uri)));
    return call;
  }

  /** Fetches the list, at most maxBytes of it. Never completes exceptionally. */
  Call<Listing> fetch(String url, Duration timeout, long maxBytes) {
    Call<Listing> call = new Call<>(timeout);
    hop(call, URI.create(url), 0, uri -> HttpRequest.newBuilder(uri).GET(), info -> new Capped(info, maxBytes),
        (response, uri) -> {
          int status = response.statusCode();
          if (status / 100 == 2) return new Listing(response.body(), status, false, "");
          return new Listing(null, status, false, "GET " + shown(uri) + ": " + status);
        },
        (error, uri) -> {
          Answer a = failure(call, error, "GET " + shown(uri));
          return new Listing(null, 0, a.unreachable(), a.reason());
        });
    return call;
  }

  private interface Request {
    HttpRequest.Builder at(URI uri);
  }

  private interface Done<B, T> {
    T apply(HttpResponse<B> response, URI uri);
  }

  private interface Failed<T> {
    T apply(Throwable error, URI uri);
  }

  /** One hop: sends, and on a same-origin redirect sends again to its Location. */
  private <B, T> void hop(Call<T> call, URI uri, int hops, Request request, HttpResponse.BodyHandler<B> handler,
      Done<B, T> done, Failed<T> failed) {
    HttpRequest built;
    try {
      HttpRequest.Builder builder = request.at(uri);
      addHeaders(builder);
      built = builder.build();
    } catch (RuntimeException e) {
      finish(call, failed.apply(e, uri));
      return;
    }
    CompletableFuture<HttpResponse<B>> sent = http.sendAsync(built, handler);
    call.current = sent;
    if (call.stopped != null) sent.cancel(true);
    sent.whenComplete((response, error) -> {
      if (error != null) {
        finish(call, failed.apply(error, uri));
        return;
      }
      int status = response.statusCode();
      if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
        Optional<String> location = response.headers().firstValue("Location");
        URI next;
        try {
          next = location.map(uri::resolve).orElse(null);
        } catch (IllegalArgumentException unreadable) {
          next = null;
        }
        String method = built.method();
        if (next == null) {
          finish(call, failed.apply(new Refused("a " + status + " redirect without a readable Location"), uri));
        } else if (!sameOrigin(uri, next)) {
          finish(call, failed.apply(new Refused("a " + status + " redirect to another origin (" + origin(next)
              + "), not followed"), uri));
        } else if (hops >= MAX_REDIRECTS) {
          finish(call, failed.apply(new Refused("more than " + MAX_REDIRECTS + " redirects"), uri));
        } else if (!method.equals("GET") && status != 307 && status != 308) {
          finish(call, failed.apply(new Refused("a " + status + " redirect that would turn the " + method
              + " into a GET, not followed"), uri));
        } else {
          hop(call, next, hops + 1, request, handler, done, failed);
        }
        return;
      }
      finish(call, done.apply(response, uri));
    });
  }

  private static <T> void finish(Call<T> call, T value) {
    call.deadline.cancel(false);
    call.result.complete(value);
  }

  private void addHeaders(HttpRequest.Builder builder) {
    Map<String, String> extra;
    try {
      extra = headers.get();
    } catch (RuntimeException e) {
      throw new Refused("the headers provider failed (" + e.getClass().getName() + ")");
    }
    if (extra == null) return;
    for (Map.Entry<String, String> h : extra.entrySet()) {
      try {
        builder.header(h.getKey(), h.getValue());
      } catch (RuntimeException e) {
        // The message may quote the value: name the header only.
        throw new Refused("the header " + h.getKey() + " from the headers provider cannot be sent");
      }
    }
  }

  /** A request the client gave up before or instead of sending it. */
  static final class Refused extends RuntimeException {
    private static final long serialVersionUID = 1L;

    Refused(String why) {
      super(why, null, false, false);
    }
  }

  private Answer wishAnswer(HttpResponse<?> response, URI uri) {
    int status = response.statusCode();
    String where = "POST " + shown(uri) + ": " + status;
    if (status / 100 == 2) return new Answer(Outcome.ACCEPTED, status, Optional.empty(), false, "");
    if (status == 408 || status == 429 || status / 100 == 5) {
      Optional<Duration> after = status == 429 || status == 503
          ? Backoff.retryAfter(response.headers().firstValue("Retry-After").orElse(null), Instant.now(), backoffCap)
          : Optional.empty();
      return new Answer(Outcome.FAILED, status, after, false, where + " (try again)");
    }
    if (status / 100 == 4) return new Answer(Outcome.REJECTED, status, Optional.empty(), false, where + " (refused)");
    return new Answer(Outcome.FAILED, status, Optional.empty(), false, where + " (not an answer to a wish)");
  }

  /** A request that got no answer: failed when it certainly never left, else unknown. */
  private static Answer failure(Call<?> call, Throwable error, String request) {
    Throwable e = error instanceof CompletionException && error.getCause() != null ? error.getCause() : error;
    String where = request + ": ";
    if (e instanceof Refused) return new Answer(Outcome.FAILED, 0, Optional.empty(), false, where + e.getMessage());
    if (e instanceof CancellationException || call.stopped != null) {
      return new Answer(Outcome.UNKNOWN, 0, Optional.empty(), false,
          where + (call.stopped != null ? call.stopped : "given up"));
    }
    if (e instanceof HttpConnectTimeoutException || e instanceof ConnectException
        || e instanceof UnknownHostException || e instanceof UnresolvedAddressException
        || e.getCause() instanceof UnresolvedAddressException || e instanceof SSLHandshakeException) {
      // No connection (or no secure one) was made: the request never left.
      return new Answer(Outcome.FAILED, 0, Optional.empty(), true, where + "cannot connect (" + describe(e) + ")");
    }
    return new Answer(Outcome.UNKNOWN, 0, Optional.empty(), false,
        where + "no complete answer (" + describe(e) + ")");
  }

  private static String describe(Throwable e) {
    String message = e.getMessage();
    return e.getClass().getSimpleName() + (message == null ? "" : ": " + message);
  }

  /** A URL as reasons show it: without user info or query, which may carry credentials. */
  static String shown(URI u) {
    return origin(u) + (u.getRawPath() == null ? "" : u.getRawPath());
  }

  static boolean sameOrigin(URI a, URI b) {
    return origin(a).equals(origin(b));
  }

  static String origin(URI u) {
    String scheme = u.getScheme() == null ? "" : u.getScheme().toLowerCase(Locale.ROOT);
    String host = u.getHost() == null ? "" : u.getHost().toLowerCase(Locale.ROOT);
    int port = u.getPort() != -1 ? u.getPort() : scheme.equals("https") ? 443 : scheme.equals("http") ? 80 : -1;
    return scheme + "://" + host + ":" + port;
  }

  private static String millis(Duration d) {
    return d.toMillis() + " ms";
  }

  /** A body read into memory up to a cap: past it the fetch fails and nothing is kept. */
  static final class Capped implements HttpResponse.BodySubscriber<byte[]> {
    private final CompletableFuture<byte[]> body = new CompletableFuture<>();
    private final long cap;
    private final ByteArrayOutputStream bytes = new ByteArrayOutputStream();
    private Flow.Subscription subscription;

    Capped(HttpResponse.ResponseInfo info, long maxBytes) {
      cap = Math.min(maxBytes, Integer.MAX_VALUE - 8);
      long declared = info.headers().firstValueAsLong("Content-Length").orElse(-1);
      if (declared > cap) tooLarge();
    }

    private void tooLarge() {
      body.completeExceptionally(new Refused("the list is larger than " + cap + " bytes: nothing loaded"));
      if (subscription != null) subscription.cancel();
    }

    @Override
    public void onSubscribe(Flow.Subscription s) {
      subscription = s;
      if (body.isDone()) s.cancel();
      else s.request(Long.MAX_VALUE);
    }

    @Override
    public void onNext(List<ByteBuffer> items) {
      if (body.isDone()) return;
      for (ByteBuffer b : items) {
        if (bytes.size() + (long) b.remaining() > cap) {
          tooLarge();
          return;
        }
        byte[] chunk = new byte[b.remaining()];
        b.get(chunk);
        bytes.write(chunk, 0, chunk.length);
      }
    }

    @Override
    public void onError(Throwable t) {
      body.completeExceptionally(t);
    }

    @Override
    public void onComplete() {
      body.complete(bytes.toByteArray());
    }

    @Override
    public java.util.concurrent.CompletionStage<byte[]> getBody() {
      return body;
    }
  }

  @Override
  public void close() {
    timer.shutdownNow();
    if (threads != null) threads.shutdownNow();
  }
}
