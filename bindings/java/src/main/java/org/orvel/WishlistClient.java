// SPDX-License-Identifier: MIT
package org.orvel;

import java.io.IOException;
import java.net.URI;
import java.nio.file.Path;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.Optional;
import java.util.OptionalInt;
import java.util.Set;
import java.util.SplittableRandom;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.Executor;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.Consumer;
import java.util.random.RandomGenerator;

/**
 * A wishlist that keeps itself in step with the service: each change the user makes is shown and
 * saved before {@link #setWished} returns, then sent, retried with backoff until the service
 * answers, and confirmed by a refresh; the saved state carries it all across a restart.
 *
 * <pre>{@code
 * try (WishlistClient wishes = new WishlistClient("https://wishlist.example.com", stateDir)) {
 *   wishes.start();                                     // background passes
 *   wishes.setWished(Kind.ALBUM, "al-1", true, "Blue Hour", "Ines Varga");
 * }
 * }</pre>
 *
 * <p>Outcomes follow the transport rule: 2xx accepted; 408, 429 and 5xx failed (sent again after a
 * backoff, at least the Retry-After of a 429 or 503); any other 4xx rejected for good (the store is
 * put back and {@link #onRejected} listeners told); no connection: failed; a deadline or a broken
 * connection after the request was written: unknown, sent again, and watched in case it lands
 * late. Each request carries an Idempotency-Key, the same for an operation across restarts.
 *
 * <p>Threads may share one client: one lock guards every call into the libraries and every state
 * change, and events run on the options' executor (a thread of the client's own by default),
 * never under that lock. {@link #close()} waits for the call in progress and the background pass;
 * every call after it throws IllegalStateException.
 */
public final class WishlistClient implements AutoCloseable {
  /**
   * Requests a pass takes from the journal per save (maxInFlight when more): HAND_OUT at first,
   * twice as many each time after, up to HAND_OUT_MAX, so that a long pass makes few saves and a
   * short one few hand-outs that a crash would bring back as unknown.
   */
  static final int HAND_OUT = 32;
  static final int HAND_OUT_MAX = 256;

  private final String baseUrl;
  private final String mineUrl;
  private final ClientOptions options;
  private final StateDir state;
  private final SyncedWishlist wishes;
  private final Transport transport;
  private final RandomGenerator random;
  private final String installation;
  private final Executor events;
  private final ExecutorService ownEvents;

  /** Guards every field below and every call on wishes. */
  private final Object lock = new Object();
  /** One pass at a time: a syncNow waits for the background's, and close() for both. */
  private final ReentrantLock passLock = new ReentrantLock();
  /** Not before this System.nanoTime() is an operation sent again (after a failure). */
  private final Map<Long, Long> notBefore = new HashMap<>();
  /**
   * Handed out by the journal but not on the wire: a batch waiting for places, or requests kept
   * back until their backoff ends. A snapshot shows them in flight, so after a crash they come
   * back as unknown and are sent again, which is harmless; a newer tap on the entry and close()
   * give them back as failed (they never left).
   */
  private final Map<Long, PendingRequest> held = new LinkedHashMap<>();
  /** Requests on their way, to give up on close(). */
  private final Set<Transport.Call<?>> calls = new HashSet<>();
  private final Map<Long, Integer> sends = new HashMap<>();
  private int connectionFailures;
  private boolean offline;
  private long probeAt;
  /** When the next refresh is due: at once after opening, then every refreshInterval, sooner after a failed one. */
  private long refreshAt = System.nanoTime();
  private int refreshFailures;
  private boolean wake;
  private volatile boolean closing;
  private boolean closed;
  private ClientState clientState = ClientState.IDLE;
  private Thread background;
  private volatile boolean stopping;
  /** Whether the last pass fetched the list (read by the background thread after it). */
  private boolean fetched;

  private final List<Runnable> changeListeners = new CopyOnWriteArrayList<>();
  private final List<Consumer<Rejection>> rejectionListeners = new CopyOnWriteArrayList<>();
  private final List<Consumer<ClientState>> stateListeners = new CopyOnWriteArrayList<>();
  /** Events waiting to go to the executor, in the order they happened. */
  private final ArrayDeque<Runnable> outbox = new ArrayDeque<>();

  /** A client with the default options. */
  public WishlistClient(String baseUrl, Path stateDir) throws IOException {
    this(baseUrl, stateDir, ClientOptions.defaults());
  }

  /**
   * Opens stateDir (creating it), takes its lock and reads its snapshot, or starts empty. Throws
   * IOException, naming the folder, when another client holds it, and naming the file when the
   * snapshot does not read back (it is then left as it is); IllegalArgumentException when
   * baseUrl is not an http or https URL.
   */
  public WishlistClient(String baseUrl, Path stateDir, ClientOptions options) throws IOException {
    this(baseUrl, stateDir, options, StateDir.FileLayer.SYSTEM);
  }

  WishlistClient(String baseUrl, Path stateDir, ClientOptions options, StateDir.FileLayer files) throws IOException {
    this.baseUrl = Objects.requireNonNull(baseUrl, "baseUrl");
    Objects.requireNonNull(stateDir, "stateDir");
    this.options = Objects.requireNonNull(options, "options");
    this.mineUrl = Orvel.buildMineUrl(baseUrl);
    String scheme = URI.create(mineUrl).getScheme();
    if (!"http".equals(scheme) && !"https".equals(scheme)) {
      throw new IllegalArgumentException("baseUrl must be an http or https URL: " + baseUrl);
    }
    this.state = StateDir.open(stateDir, files);
    SyncedWishlist opened = null;
    try {
      byte[] saved = state.readSnapshot();
      if (saved == null) {
        opened = new SyncedWishlist();
      } else {
        try {
          opened = SyncedWishlist.openSnapshot(saved);
        } catch (OrvelException damaged) {
          throw new IOException("the saved wishlist " + state.folder.resolve(StateDir.SNAPSHOT)
              + " does not read back (" + damaged.reason() + "); it is left as it is", damaged);
        }
      }
      this.installation = state.installationId();
    } catch (IOException | RuntimeException | Error e) {
      if (opened != null) opened.close();
      state.close();
      throw e;
    }
    this.wishes = opened;
    this.transport = new Transport(options);
    this.random = options.random != null ? options.random : new SplittableRandom();
    if (options.events != null) {
      this.ownEvents = null;
      this.events = options.events;
    } else {
      this.ownEvents = Executors.newSingleThreadExecutor(r -> {
        Thread t = new Thread(r, "orvel-events");
        t.setDaemon(true);
        return t;
      });
      this.events = ownEvents;
    }
  }

  // ---- the user's calls ---------------------------------------------------------------------

  /**
   * Records that (kind, itemId) should be wished or not: in the store at once, saved before it
   * returns, sent by the next pass (at once when {@link #start()}ed). A change of the same entry
   * that was waiting for its backoff is replaced. Throws IOException when the snapshot cannot be
   * written (the change is shown and kept in memory, saved by the next save that succeeds), and
   * OrvelException with the journal's reason ("empty item_id", "invalid utf-8").
   */
  public Status setWished(Kind kind, String itemId, boolean wished, String title, String artist) throws IOException {
    Objects.requireNonNull(kind, "kind");
    Objects.requireNonNull(itemId, "itemId");
    try {
      synchronized (lock) {
        open();
        // A change held back for its backoff never left: it is given back (failed, truly) so
        // that the newer intent replaces it rather than queueing behind it.
        for (Iterator<PendingRequest> it = held.values().iterator(); it.hasNext(); ) {
          PendingRequest h = it.next();
          if (h.kind() == kind && h.itemId().equals(itemId)) {
            it.remove();
            notBefore.remove(h.opId());
            wishes.report(h.opId(), Outcome.FAILED);
          }
        }
        wishes.setWished(kind, itemId, wished, title, artist);
        save();
        wake = true;
        lock.notifyAll();
        return statusLocked(kind, itemId);
      }
    } finally {
      drain();
    }
  }

  /** The same with no title or artist. */
  public Status setWished(Kind kind, String itemId, boolean wished) throws IOException {
    return setWished(kind, itemId, wished, null, null);
  }

  /** True when the store shows (kind, itemId) wished. */
  public boolean wished(Kind kind, String itemId) {
    synchronized (lock) {
      open();
      return wishes.has(kind, itemId);
    }
  }

  /** Where (kind, itemId) stands: synced, pending, sending, confirming or uncertain. */
  public Status status(Kind kind, String itemId) {
    Objects.requireNonNull(kind, "kind");
    synchronized (lock) {
      open();
      return statusLocked(kind, itemId);
    }
  }

  /** The entries the store shows, in store order. */
  public List<Entry> entries() {
    synchronized (lock) {
      open();
      return wishes.export().items();
    }
  }

  /** The number of entries the store shows. */
  public int size() {
    synchronized (lock) {
      open();
      return wishes.size();
    }
  }

  /** The number of changes not yet confirmed by the service. */
  public int pending() {
    synchronized (lock) {
      open();
      return wishes.held();
    }
  }

  /** What the client is doing now. */
  public ClientState state() {
    synchronized (lock) {
      return clientState;
    }
  }

  /** Called after the store changed other than by setWished: a refresh, a refused change put back. */
  public void onChange(Runnable listener) {
    changeListeners.add(Objects.requireNonNull(listener, "listener"));
  }

  /** Called for each change the service refused for good. */
  public void onRejected(Consumer<Rejection> listener) {
    rejectionListeners.add(Objects.requireNonNull(listener, "listener"));
  }

  /** Called when the client's state changes (idle, syncing, backing off, offline, closed). */
  public void onState(Consumer<ClientState> listener) {
    stateListeners.add(Objects.requireNonNull(listener, "listener"));
  }

  private Status statusLocked(Kind kind, String itemId) {
    EntryStatus e = wishes.status(kind, itemId);
    Status.State s = switch (e.state()) {
      case SYNCED -> Status.State.SYNCED;
      case UNSENT -> Status.State.PENDING;
      case IN_FLIGHT -> held.containsKey(e.opId()) ? Status.State.PENDING : Status.State.SENDING;
      case CONFIRMING -> Status.State.CONFIRMING;
      case UNCERTAIN -> Status.State.UNCERTAIN;
    };
    Optional<Instant> next = Optional.empty();
    if (s == Status.State.PENDING) {
      long now = System.nanoTime();
      long at = offline ? probeAt : notBefore.getOrDefault(e.opId(), now);
      if (at - now > 0) next = Optional.of(Instant.now().plusNanos(at - now));
    }
    return new Status(s, e.attempts(), next);
  }

  // ---- passes -------------------------------------------------------------------------------

  /**
   * One pass now: sends every change whose time has come (up to maxInFlight at once, one per
   * entry), waits for the answers, then refreshes the list once. Gives up what is still on its way
   * when deadline passes (reported unknown). Offline, it first sends one request as a probe.
   * Throws IOException when the snapshot cannot be saved (the pass stops there).
   */
  public SyncSummary syncNow(Duration deadline) throws IOException, InterruptedException {
    long end = System.nanoTime() + Objects.requireNonNull(deadline, "deadline").toNanos();
    passLock.lockInterruptibly();
    try {
      synchronized (lock) {
        open();
      }
      return pass(end, true, true);
    } finally {
      passLock.unlock();
      drain();
    }
  }

  /** {@link #syncNow(Duration)} with the time of one request and one list fetch. */
  public SyncSummary syncNow() throws IOException, InterruptedException {
    return syncNow(options.requestTimeout.plus(options.listTimeout));
  }

  private final class Pass {
    int sent;
    int accepted;
    int rejected;
    int failed;
    int unknown;
    boolean refreshed;
    /** The size of the pass's next hand-out. */
    int window = HAND_OUT;
    final List<String> problems = new ArrayList<>();
    final Set<Long> tried = new HashSet<>();
    final Map<Long, Transport.Call<Transport.Answer>> out = new LinkedHashMap<>();
    final Map<Long, PendingRequest> requests = new HashMap<>();
  }

  private SyncSummary pass(long end, boolean explicit, boolean refreshAlways) throws IOException, InterruptedException {
    Pass p = new Pass();
    fetched = false;
    try {
      boolean probe;
      synchronized (lock) {
        setState(ClientState.SYNCING);
        probe = explicit || !offline || System.nanoTime() - probeAt >= 0;
      }
      drain();
      // A request leaves only once a snapshot shows it in flight (else a crash would leave it
      // unsent, and a later opposite tap would cancel a change that did land), and no event goes
      // out before the snapshot that holds its outcome. So that one save serves many requests,
      // they are taken from the journal in batches into held, saved, and started as places free
      // up; answers share the next save: the next batch's, one at once when they queued an event,
      // or the one that ends the sending.
      boolean unsaved = false;  // answers reported since the last save
      while (true) {
        synchronized (lock) {
          boolean settled = false;
          boolean queued = false;
          for (Iterator<Map.Entry<Long, Transport.Call<Transport.Answer>>> it = p.out.entrySet().iterator();
              it.hasNext(); ) {
            Map.Entry<Long, Transport.Call<Transport.Answer>> e = it.next();
            if (!e.getValue().done()) continue;
            it.remove();
            queued |= settle(p, p.requests.remove(e.getKey()), e.getValue());
            settled = true;
          }
          unsaved |= settled;
          if (settled && !offline) probe = true;
          boolean starting = !closing && probe && end - System.nanoTime() > 0;
          // Offline, one request at a time: the probe, whose answer says whether to go on.
          int places = !starting ? 0 : offline ? (p.out.isEmpty() ? 1 : 0) : options.maxInFlight - p.out.size();
          List<PendingRequest> batch = places > 0 ? handOut(p, places) : List.of();
          if (!batch.isEmpty() || (unsaved && queued)) {
            try {
              save();
            } catch (IOException notSaved) {
              // None of the batch left: given back to the journal as unsent.
              for (PendingRequest r : batch) {
                held.remove(r.opId());
                wishes.report(r.opId(), Outcome.FAILED);
              }
              throw notSaved;
            }
            unsaved = false;
          }
          for (PendingRequest next : takeDue(p, places)) {
            long id = next.opId();
            p.tried.add(id);
            p.sent++;
            sends.merge(id, 1, Integer::sum);
            Duration timeout = within(options.requestTimeout, end);
            Transport.Call<Transport.Answer> call = transport.send(next, installation + "-" + id, timeout);
            calls.add(call);
            p.out.put(id, call);
            p.requests.put(id, next);
            if (offline) probe = false;
          }
          if (p.out.isEmpty() && unsaved) {
            save();
            unsaved = false;
          }
        }
        drain();
        if (p.out.isEmpty()) break;
        awaitAny(p.out.values());
      }
      boolean wanted = refreshAlways || p.accepted + p.unknown > 0 || refreshDue(System.nanoTime());
      if (wanted && probe && end - System.nanoTime() > 0) refresh(p, end);
    } catch (InterruptedException | IOException | RuntimeException | Error e) {
      giveUp(p);
      throw e;
    } finally {
      synchronized (lock) {
        if (!closed) setState(settledState());
      }
      drain();
    }
    synchronized (lock) {
      return new SyncSummary(p.sent, p.accepted, p.rejected, p.failed, p.unknown, p.refreshed,
          nextPass().map(at -> Instant.now().plusNanos(Math.max(0, at - System.nanoTime()))), p.problems);
    }
  }

  /** On an interrupt or a failed save: what is on its way is given up and reported unknown. */
  private void giveUp(Pass p) {
    for (Transport.Call<Transport.Answer> c : p.out.values()) c.stop("the pass was stopped");
    for (Map.Entry<Long, Transport.Call<Transport.Answer>> e : p.out.entrySet()) {
      Transport.Call<Transport.Answer> c = e.getValue();
      boolean interrupted = false;
      while (true) {
        try {
          c.join();
          break;
        } catch (InterruptedException again) {
          interrupted = true;
        }
      }
      try {
        settle(p, p.requests.get(e.getKey()), c);
      } catch (RuntimeException alreadyFailing) {
        // the failure being thrown says more
      }
      if (interrupted) Thread.currentThread().interrupt();
    }
    p.out.clear();
    synchronized (lock) {
      try {
        save();
      } catch (IOException notSaved) {
        // the journal has the outcomes; the next save that succeeds writes them
      }
    }
  }

  private static void awaitAny(java.util.Collection<Transport.Call<Transport.Answer>> out)
      throws InterruptedException {
    CompletableFuture<?>[] all = out.stream().map(c -> c.result).toArray(CompletableFuture<?>[]::new);
    try {
      CompletableFuture.anyOf(all).get();
    } catch (java.util.concurrent.ExecutionException never) {
      // the calls never complete exceptionally
    }
  }

  private Duration within(Duration timeout, long end) {
    long left = end - System.nanoTime();
    return Duration.ofNanos(Math.max(1, Math.min(timeout.toNanos(), left)));
  }

  /** Whether a held request may start now: not sent yet in this pass, its backoff over. */
  private boolean due(Pass p, PendingRequest r, long now) {
    return !p.tried.contains(r.opId()) && now - notBefore.getOrDefault(r.opId(), now) >= 0;
  }

  /**
   * When fewer held requests are due than there are places, takes up to the pass's window of due
   * ones (maxInFlight when more; one while offline) from the journal into held, for the caller to
   * save before any leaves, and doubles the window for the next. Those whose backoff has not
   * passed are held too and not counted: the journal gives others meanwhile.
   */
  private List<PendingRequest> handOut(Pass p, int places) {
    long now = System.nanoTime();
    int due = 0;
    // Counted only up to places: with a batch held, most calls stop within the first few.
    for (Iterator<PendingRequest> it = held.values().iterator(); it.hasNext() && due < places; ) {
      if (due(p, it.next(), now)) due++;
    }
    if (due >= places) return List.of();
    int window = offline ? 1 : Math.max(p.window, options.maxInFlight);
    List<PendingRequest> batch = new ArrayList<>();
    while (due < window) {
      Optional<PendingRequest> next = wishes.nextRequest(baseUrl);
      if (next.isEmpty()) break;
      PendingRequest r = next.get();
      held.put(r.opId(), r);
      batch.add(r);
      if (due(p, r, now)) due++;
    }
    if (!batch.isEmpty() && !offline) p.window = Math.min(2 * window, HAND_OUT_MAX);
    return batch;
  }

  /** Takes from held, in the journal's order, the saved requests that are due, for the places free. */
  private List<PendingRequest> takeDue(Pass p, int places) {
    long now = System.nanoTime();
    List<PendingRequest> taken = new ArrayList<>();
    for (Iterator<PendingRequest> it = held.values().iterator(); it.hasNext() && taken.size() < places; ) {
      PendingRequest h = it.next();
      if (due(p, h, now)) {
        it.remove();
        taken.add(h);
      }
    }
    return taken;
  }

  /** Reports the outcome of a request that has its answer, true when it queued an event; the caller saves. */
  private boolean settle(Pass p, PendingRequest request, Transport.Call<Transport.Answer> call) {
    Transport.Answer a = call.result.getNow(null);
    synchronized (lock) {
      calls.remove(call);
      long id = request.opId();
      long now = System.nanoTime();
      StoreChange change = wishes.report(id, a.outcome());
      if (!a.reason().isEmpty()) p.problems.add(a.reason());
      switch (a.outcome()) {
        case ACCEPTED -> p.accepted++;
        case REJECTED -> p.rejected++;
        case FAILED -> p.failed++;
        case UNKNOWN -> p.unknown++;
      }
      if (a.outcome() == Outcome.ACCEPTED || a.outcome() == Outcome.REJECTED) {
        notBefore.remove(id);
        sends.remove(id);
      } else {
        EntryStatus e = wishes.status(request.kind(), request.itemId());
        long attempts = e.opId() == id ? e.attempts() : sends.getOrDefault(id, 1);
        long delay = Backoff.delayNanos(attempts, options.backoffBase, options.backoffCap, random);
        if (a.retryAfter().isPresent()) delay = Math.max(delay, a.retryAfter().get().toNanos());
        notBefore.put(id, now + delay);
      }
      reachability(a.unreachable(), a.status() != 0, now);
      if (a.outcome() == Outcome.REJECTED) {
        Rejection r = new Rejection(request.kind(), request.itemId(), request.wished(), a.status(), change);
        for (Consumer<Rejection> l : rejectionListeners) outbox.add(() -> l.accept(r));
      }
      if (change != StoreChange.UNCHANGED) changed();
      return a.outcome() == Outcome.REJECTED && !rejectionListeners.isEmpty()
          || change != StoreChange.UNCHANGED && !changeListeners.isEmpty();
    }
  }

  /** Counts connection failures in a row: offline after offlineAfter, online at any answer. */
  private void reachability(boolean unreachable, boolean answered, long now) {
    if (unreachable) {
      connectionFailures++;
      if (connectionFailures >= options.offlineAfter) {
        offline = true;
        probeAt = now + options.backoffCap.toNanos();
      }
    } else if (answered) {
      connectionFailures = 0;
      offline = false;
    }
  }

  private void refresh(Pass p, long end) throws IOException, InterruptedException {
    long token;
    Transport.Call<Transport.Listing> call;
    synchronized (lock) {
      if (closing) return;
      fetched = true;
      token = wishes.beginRefresh();  // before the request leaves
      call = transport.fetch(mineUrl, within(options.listTimeout, end), options.maxResponseBytes);
      calls.add(call);
    }
    Transport.Listing listing;
    try {
      listing = call.join();
    } catch (InterruptedException e) {
      call.stop("the pass was stopped");
      throw e;
    } finally {
      synchronized (lock) {
        calls.remove(call);
      }
    }
    synchronized (lock) {
      long now = System.nanoTime();
      reachability(listing.unreachable(), listing.status() != 0, now);
      // A failed refresh is tried again after a backoff, never sooner than backoffBase.
      long retry = Math.max(options.backoffBase.toNanos(),
          Backoff.delayNanos(refreshFailures++, options.backoffBase, options.backoffCap, random));
      refreshAt = now + Math.min(retry, options.refreshInterval.toNanos());
      if (listing.body() == null) {
        p.problems.add(listing.reason());
        return;
      }
      String before = changeListeners.isEmpty() ? null : wishes.exportJson();
      OptionalInt loaded;
      try {
        loaded = wishes.load(token, listing.body());
      } catch (OrvelException notAList) {
        p.problems.add("GET " + mineUrl + ": the list does not read (" + notAList.reason() + "): nothing loaded");
        return;
      }
      refreshAt = now + options.refreshInterval.toNanos();
      refreshFailures = 0;
      p.refreshed = loaded.isPresent();
      if (before != null && !before.equals(wishes.exportJson())) changed();
      save();
    }
  }

  private boolean refreshDue(long now) {
    synchronized (lock) {
      return now - refreshAt >= 0;
    }
  }

  /** When the next pass is due for the changes waiting; empty when none waits. */
  private Optional<Long> nextPass() {
    long now = System.nanoTime();
    notBefore.values().removeIf(at -> at - now <= 0);  // past: no longer needed
    if (wishes.unsent() + held.size() == 0) return Optional.empty();
    if (offline) return Optional.of(probeAt);
    long soonest = Long.MAX_VALUE;
    boolean any = false;
    for (long at : notBefore.values()) {
      if (!any || at - soonest < 0) soonest = at;
      any = true;
    }
    // An unsent change with no backoff of its own is due now.
    if (!any || wishes.unsent() + held.size() > notBefore.size()) return Optional.of(now);
    return Optional.of(soonest);
  }

  private ClientState settledState() {
    if (offline) return ClientState.OFFLINE;
    return wishes.unsent() + held.size() > 0 ? ClientState.BACKING_OFF : ClientState.IDLE;
  }

  private void setState(ClientState s) {
    if (s == clientState) return;
    clientState = s;
    for (Consumer<ClientState> l : stateListeners) outbox.add(() -> l.accept(s));
  }

  private void changed() {
    for (Runnable l : changeListeners) outbox.add(l);
  }

  private void save() throws IOException {
    state.writeSnapshot(wishes.snapshotBytes());
  }

  private void open() {
    if (closing || closed) throw new IllegalStateException("the wishlist client is closed");
  }

  /** Hands the events queued to the executor, in order, outside the client's lock. */
  private void drain() {
    synchronized (outbox) {
      while (true) {
        Runnable next;
        synchronized (lock) {
          next = outbox.poll();
        }
        if (next == null) return;
        try {
          events.execute(next);
        } catch (RuntimeException rejected) {
          // an executor that no longer takes work: the event is dropped
        }
      }
    }
  }

  // ---- the background -----------------------------------------------------------------------

  /**
   * Starts background passes: at once after each change, when a backoff ends, and every
   * refreshInterval (the first refresh at start). With nothing to do it sends nothing and wakes
   * for the refresh interval only. Harmless when started already.
   */
  public void start() {
    synchronized (lock) {
      open();
      if (background != null) return;
      stopping = false;
      wake = true;
      background = new Thread(this::runBackground, "orvel-sync");
      background.setDaemon(true);
      background.start();
    }
  }

  /** Stops the background passes, waiting for the one under way. Harmless when not started. */
  public void stop() throws InterruptedException {
    Thread t;
    synchronized (lock) {
      t = background;
      if (t == null) return;
      stopping = true;
      lock.notifyAll();
    }
    if (t != Thread.currentThread()) t.join();
    synchronized (lock) {
      if (background == t) background = null;
    }
  }

  private void runBackground() {
    // No pass before this time: after a pass that failed to save or had nothing it could send,
    // so that the thread never spins.
    long quietUntil = System.nanoTime();
    while (true) {
      boolean refresh;
      synchronized (lock) {
        while (true) {
          if (stopping || closing) return;
          long now = System.nanoTime();
          Optional<Long> next = nextPass();
          // Offline, neither a change nor a refresh goes out before the next probe.
          long refreshWhen = offline && probeAt - refreshAt > 0 ? probeAt : refreshAt;
          if (offline) wake = false;
          boolean due = wake || next.map(at -> now - at >= 0).orElse(false) || now - refreshWhen >= 0;
          if (due && now - quietUntil >= 0) {
            refresh = refreshDue(now);
            wake = false;
            break;
          }
          long until = refreshWhen;
          if (next.isPresent() && next.get() - until < 0) until = next.get();
          if (quietUntil - until > 0) until = quietUntil;
          long waitMs = Math.max(1, TimeUnit.NANOSECONDS.toMillis(until - now) + 1);
          try {
            lock.wait(waitMs);
          } catch (InterruptedException e) {
            return;
          }
        }
      }
      try {
        passLock.lockInterruptibly();
        try {
          if (closing) return;
          SyncSummary done = pass(System.nanoTime() + TimeUnit.DAYS.toNanos(1), false, refresh);
          boolean idle = done.sent() == 0 && !fetched;
          quietUntil = System.nanoTime() + (idle ? options.backoffBase.toNanos() : 0);
        } finally {
          passLock.unlock();
        }
      } catch (InterruptedException e) {
        return;
      } catch (IOException | RuntimeException saveFailed) {
        // The snapshot could not be written (a full disk): try again after a backoff.
        quietUntil = System.nanoTime() + options.backoffBase.toNanos();
      }
      drain();
    }
  }


  // ---- closing ------------------------------------------------------------------------------

  /**
   * Stops the background passes and gives up the requests on their way (reported unknown), waits
   * for the call in progress, saves the snapshot a last time and releases the folder. Harmless
   * when closed already. Throws IOException when that last save fails (the folder is released
   * all the same; the last snapshot saved before stays).
   */
  @Override
  public void close() throws IOException {
    Thread t;
    synchronized (lock) {
      if (closing) return;
      closing = true;
      stopping = true;
      lock.notifyAll();
      for (Transport.Call<?> c : calls) c.stop("the client was closed");
      t = background;
    }
    boolean interrupted = false;
    while (t != null && t != Thread.currentThread()) {
      try {
        t.join();
        break;
      } catch (InterruptedException e) {
        interrupted = true;
      }
    }
    passLock.lock();
    IOException failed = null;
    try {
      synchronized (lock) {
        // Changes held back never left: given back, so that the snapshot does not count them unknown.
        for (PendingRequest h : held.values()) wishes.report(h.opId(), Outcome.FAILED);
        held.clear();
        try {
          save();
        } catch (IOException e) {
          failed = e;
        }
        closed = true;
        setState(ClientState.CLOSED);
        wishes.close();
        transport.close();
        try {
          state.close();
        } catch (IOException e) {
          if (failed == null) failed = e;
        }
      }
    } finally {
      passLock.unlock();
      drain();
      if (ownEvents != null) ownEvents.shutdown();
      if (interrupted) Thread.currentThread().interrupt();
    }
    if (failed != null) throw failed;
  }
}
