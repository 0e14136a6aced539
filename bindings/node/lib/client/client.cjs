// SPDX-License-Identifier: MIT
'use strict';
// WishlistClient: a SyncedWishlist that does its own HTTP, saving, retries and
// events. It lives on the event loop of the thread that made it: every call
// into the native libraries and every change of its state runs to its end
// before any other code of that thread (that is its lock), and a worker thread
// makes its own client (an object cannot be passed to another thread).

const { OrvelError } = require('../errors.cjs');
const { EntryState, Outcome, StoreChange, SyncedWishlist, snapshotBytes } = require('../synced.cjs');
const { backoffDelay } = require('./backoff.cjs');
const { StateDir, StateError } = require('./state-dir.cjs');
const { fetchList, sendChange } = require('./transport.cjs');

/** The defaults every client shares (docs/client.md); times in ms, sizes in bytes. */
const DEFAULTS = Object.freeze({
  requestTimeout: 10_000, // 10 s
  listTimeout: 30_000, // 30 s
  maxResponseBytes: 67_108_864, // 64 MiB
  maxInFlight: 4,
  backoffBase: 1_000, // 1 s
  backoffCap: 300_000, // 5 min
  offlineAfter: 3,
  refreshInterval: 900_000, // 15 min
});

/** The client's states, for onState(). */
const ClientState = Object.freeze({
  Idle: 'idle',
  Syncing: 'syncing',
  BackingOff: 'backing_off',
  Offline: 'offline',
  Closed: 'closed',
});

// How long outcomes may gather before their snapshot is taken, while requests are on the wire.
const SAVE_GATHER_MS = 100;
// Requests a pass takes from the journal per save (maxInFlight when more): 32
// at first, twice as many each time after, up to 256, so that a long pass makes
// few saves and a short one few hand-outs that a crash would bring back as unknown.
const HAND_OUT = 32;
const HAND_OUT_MAX = 256;

// An option for this package's own tests: the file operations the state folder uses.
const FILE_OPS = Symbol('fileOps');

const key = (kind, itemId) => `${kind}\u0000${itemId}`;

function checkedOptions(options) {
  if (options === null || typeof options !== 'object') throw new TypeError('options must be an object');
  const known = new Set([...Object.keys(DEFAULTS), 'headers']);
  for (const name of Object.keys(options)) if (!known.has(name)) throw new TypeError(`unknown option ${name}`);
  const merged = { ...DEFAULTS, ...options };
  for (const name of Object.keys(DEFAULTS)) {
    const value = merged[name];
    const whole = name === 'maxInFlight' || name === 'offlineAfter' || name === 'maxResponseBytes';
    if (typeof value !== 'number' || !(value > 0) || !Number.isFinite(value) || (whole && !Number.isInteger(value))) {
      throw new TypeError(`${name} must be a positive ${whole ? 'integer' : 'number'}`);
    }
  }
  if (merged.headers !== undefined && typeof merged.headers !== 'function') throw new TypeError('headers must be a function');
  return Object.freeze(merged);
}

function checkedBaseUrl(baseUrl) {
  if (typeof baseUrl !== 'string') throw new TypeError('baseUrl must be a string');
  let url;
  try {
    url = new URL(baseUrl);
  } catch {
    throw new TypeError(`baseUrl is not a URL: ${JSON.stringify(baseUrl)}`);
  }
  if (url.protocol !== 'http:' && url.protocol !== 'https:') throw new TypeError('baseUrl must be an http: or https: URL');
  if (url.username || url.password) throw new TypeError('baseUrl must not carry credentials: use the headers option');
  return baseUrl;
}

/**
 * A wishlist kept in `stateDir` and synced with the service at `baseUrl`.
 * setWished() shows and saves a change at once; syncNow() or start() send it.
 */
class WishlistClient {
  #options;
  #baseUrl;
  #mineUrl;
  #dir;
  #wishes;
  #installation;
  // opId -> { at, kind, itemId }: no request for it before `at` (its backoff or Retry-After).
  #notBefore = new Map();
  // opId -> { request, generation }: handed out by the journal, held here
  // until its time comes and the snapshot `generation` (which shows it in flight) is on the disk.
  #waiting = new Map();
  // opId -> request: on the wire.
  #sending = new Map();
  #lastError = new Map();
  #listeners = { change: new Set(), rejected: new Set(), state: new Set() };
  #events = [];
  #state = ClientState.Idle;
  #closing = null;
  #abort = new AbortController();
  #passes = Promise.resolve();
  #running = 0;
  #background = false;
  #timer = null;
  #again = false;
  #connectionFailures = 0;
  #offline = false;
  #probeAt = 0;
  #lastRefresh = 0;
  #refreshAt = 0;
  #refreshFailures = 0;
  // Saving: each snapshot taken has a generation; `#durable` is the newest on the disk.
  #generation = 0;
  #durable = 0;
  #dirty = false; // outcomes reported since the last snapshot taken
  #wanted = false; // a background save asked for
  #saver = null;
  #saveError = null;
  // Events of outcomes not yet on the disk: delivered once they are.
  #unsaved = [];
  #hurry = null;
  // Senders waiting for a snapshot that shows their request in flight: { generation, resolve, reject }.
  #handedOut = [];

  constructor(baseUrl, stateDir, options = {}) {
    this.#baseUrl = checkedBaseUrl(baseUrl);
    this.#options = checkedOptions(options);
    this.#mineUrl = require('../../index.cjs').buildMineUrl(this.#baseUrl); // the package's entry, loaded by now
    this.#dir = new StateDir(stateDir, this.#options[FILE_OPS]);
    try {
      const saved = this.#dir.readSnapshot();
      if (saved === null) {
        this.#wishes = new SyncedWishlist();
      } else {
        try {
          this.#wishes = SyncedWishlist.openSnapshot(saved);
        } catch (error) {
          if (!(error instanceof OrvelError)) throw error;
          const file = this.#dir.snapshotPath;
          throw new StateError(`the saved state ${file} is damaged (${error.reason || error.message}); it is left as it is`, file);
        }
      }
      this.#installation = this.#dir.installationId(saved === null);
    } catch (error) {
      this.#wishes?.close();
      this.#dir.close();
      throw error;
    }
  }

  // ---- reading -------------------------------------------------------------------

  /** True when the store shows the entry. */
  wished(kind, itemId) {
    this.#check();
    return this.#wishes.has(kind, itemId);
  }

  /** The entries, { kind, itemId, title, artist }, frozen, in store order. */
  entries() {
    this.#check();
    return [...this.#wishes];
  }

  /** The number of entries. */
  get size() {
    this.#check();
    return this.#wishes.size;
  }

  /** The client's state: one of ClientState. */
  get state() {
    return this.#state;
  }

  /**
   * Where an entry stands: { state ('synced', 'pending', 'sending', 'confirming',
   * 'uncertain'), wished, attempts, nextAttemptAt (a Date, or null), lastError }.
   */
  status(kind, itemId) {
    this.#check();
    const entry = this.#wishes.status(kind, itemId);
    let state;
    let nextAttemptAt = null;
    switch (entry.state) {
      case EntryState.Unsent:
      case EntryState.InFlight:
        if (this.#sending.has(entry.opId)) {
          state = 'sending';
        } else {
          state = 'pending';
          const at = this.#notBefore.get(entry.opId)?.at;
          if (at !== undefined && at > Date.now()) nextAttemptAt = new Date(at);
        }
        break;
      case EntryState.Confirming:
        state = 'confirming';
        break;
      case EntryState.Uncertain:
        state = 'uncertain';
        break;
      default:
        state = 'synced';
    }
    return Object.freeze({
      state,
      wished: this.#wishes.has(kind, itemId),
      attempts: entry.attempts,
      nextAttemptAt,
      lastError: this.#lastError.get(key(kind, itemId)) ?? '',
    });
  }

  // ---- changing ------------------------------------------------------------------

  /** Records that the entry be wished or not: shown and saved before it returns; its status. */
  setWished(kind, itemId, wished, title = null, artist = null) {
    this.#check();
    // A request held back for this entry never left: it gives way to the newer intent.
    for (const [opId, { request }] of this.#waiting) {
      if (request.kind === kind && request.itemId === itemId) {
        this.#waiting.delete(opId);
        this.#wishes.report(opId, Outcome.Failed);
      }
    }
    const before = this.#wishes.status(kind, itemId).opId;
    const hadIt = this.#wishes.has(kind, itemId);
    this.#wishes.setWished(kind, itemId, wished, title, artist);
    if (this.#wishes.status(kind, itemId).opId !== before) this.#notBefore.delete(before);
    this.#save();
    if (this.#wishes.has(kind, itemId) !== hadIt) this.#emit('change', { kind, itemId, wished, cause: 'user' });
    this.#wake(0);
    return this.status(kind, itemId);
  }

  // ---- syncing -------------------------------------------------------------------

  /**
   * One pass: sends what can be sent now (up to maxInFlight at once), waits for
   * the answers, then refreshes the list once. `deadline` (a Date or epoch ms):
   * no request starts after it. Resolves to a SyncSummary.
   */
  syncNow(deadline = Infinity) {
    this.#check();
    const until = deadline instanceof Date ? deadline.getTime() : deadline;
    if (typeof until !== 'number' || Number.isNaN(until)) throw new TypeError('deadline must be a Date or a number of ms since the epoch');
    this.#probeAt = 0; // asked for: an offline client probes now
    return this.#enqueue(() => this.#pass(until, true));
  }

  /** Background passes: after each change, on the backoff timer, and every refreshInterval. */
  start() {
    this.#check();
    this.#background = true;
    this.#wake(0);
  }

  /** Stops the background passes; resolves once the one under way has ended. */
  async stop() {
    this.#background = false;
    this.#clearTimer();
    await this.#passes;
  }

  /**
   * Closes the client: cancels requests on the wire (reported unknown: they may
   * land), waits for the pass under way, saves, releases the folder.
   */
  close() {
    if (this.#closing === null) this.#closing = this.#shutDown();
    return this.#closing;
  }

  async #shutDown() {
    this.#background = false;
    this.#clearTimer();
    this.#abort.abort();
    await this.#passes.catch(() => {});
    await this.#saved().catch(() => {}); // the final save below holds all of it
    try {
      for (const opId of this.#waiting.keys()) this.#wishes.report(opId, Outcome.Failed); // never sent
      this.#waiting.clear();
      this.#save();
    } finally {
      this.#wishes.close();
      this.#dir.close();
      this.#setState(ClientState.Closed);
    }
  }

  // ---- events --------------------------------------------------------------------

  /** Calls listener({ kind, itemId, wished, cause }) when an entry appears or goes; returns a function that stops it. */
  onChange(listener) {
    return this.#listen('change', listener);
  }

  /** Calls listener({ kind, itemId, wished, status, reason, storeChange }) for a change the service refused for good. */
  onRejected(listener) {
    return this.#listen('rejected', listener);
  }

  /** Calls listener(state) when the client's state changes (ClientState). */
  onState(listener) {
    return this.#listen('state', listener);
  }

  #listen(name, listener) {
    if (typeof listener !== 'function') throw new TypeError('listener must be a function');
    this.#listeners[name].add(listener);
    return () => this.#listeners[name].delete(listener);
  }

  // Queued, and delivered from the event loop once the change is saved and the call is over.
  #emit(name, payload) {
    this.#events.push([name, Object.freeze(payload)]);
    if (this.#events.length === 1) setImmediate(() => this.#deliver());
  }

  #deliver() {
    const events = this.#events;
    this.#events = [];
    for (const [name, payload] of events) {
      for (const listener of [...this.#listeners[name]]) {
        try {
          listener(payload);
        } catch (error) {
          // A listener's fault is the app's: thrown where it shows, not into the client.
          queueMicrotask(() => {
            throw error;
          });
        }
      }
    }
  }

  #setState(state) {
    if (state === this.#state) return;
    this.#state = state;
    this.#emit('state', state);
  }

  // ---- the pass ------------------------------------------------------------------

  #check() {
    if (this.#closing !== null) throw new OrvelError('the client is closed');
  }

  // Saves now, before the call returns: this snapshot holds every outcome reported so far.
  #save() {
    const generation = ++this.#generation;
    this.#dir.saveSnapshot(snapshotBytes(this.#wishes));
    this.#durable = generation;
    this.#dirty = false;
    this.#wanted = false;
    this.#releaseSenders();
    const events = this.#unsaved;
    this.#unsaved = [];
    for (const [name, payload] of events) this.#emit(name, payload);
  }

  // An outcome reported: it goes to the disk with the next save made anyway
  // (the next batch's, or the one that ends the pass's sending); at once when
  // it queued events, which are delivered only once it is on the disk. One a
  // crash catches unsaved comes back in flight (unknown) and is sent again
  // with its Idempotency-Key.
  #reported(events) {
    this.#dirty = true;
    if (events.length === 0) return;
    this.#unsaved.push(...events);
    this.#saveSoon();
  }

  // A save in the background, while requests go on: snapshots taken one after
  // another, each holding every outcome reported before it. The first is taken
  // on the next turn of the event loop, so that the hand-outs and answers of
  // this turn share it.
  #saveSoon() {
    this.#wanted = true;
    if (this.#saver === null) this.#saver = this.#runSaver();
  }

  // Resolves once a snapshot taken after this call is on the disk: then the
  // requests handed out so far may go, a crash leaving them in flight (unknown
  // after a restart, so that a newer tap on their entry is sent, not cancelled).
  #savedAsSent() {
    if (this.#saveError !== null) return Promise.reject(this.#saveError);
    const generation = this.#generation + 1;
    const ready = new Promise((resolve, reject) => this.#handedOut.push({ generation, resolve, reject }));
    this.#saveSoon();
    this.#hurry?.(); // no gathering while a request waits
    return ready;
  }

  #releaseSenders(error = null) {
    const waiting = this.#handedOut;
    this.#handedOut = [];
    for (const sender of waiting) {
      if (error !== null) sender.reject(error);
      else if (sender.generation <= this.#durable) sender.resolve();
      else this.#handedOut.push(sender);
    }
  }

  async #runSaver() {
    try {
      await new Promise(setImmediate);
      while (this.#wanted && this.#saveError === null) {
        this.#wanted = false;
        this.#dirty = false;
        const generation = ++this.#generation;
        const events = this.#unsaved;
        this.#unsaved = [];
        try {
          const bytes = snapshotBytes(this.#wishes);
          // A save of this thread's meanwhile holds all of this one: it stands.
          if (await this.#dir.saveSnapshotInBackground(bytes, () => this.#durable > generation)) {
            this.#durable = Math.max(this.#durable, generation);
          }
        } catch (error) {
          this.#saveError = error;
          this.#dirty = true;
          this.#unsaved = events.concat(this.#unsaved);
          this.#releaseSenders(error);
          return;
        }
        this.#releaseSenders();
        for (const [name, payload] of events) this.#emit(name, payload);
        // While requests are on the wire, let events gather for a moment: one
        // snapshot for many. #flushed() and a request waiting to go cut it short.
        if (this.#wanted && this.#sending.size > 0 && this.#handedOut.length === 0) {
          await new Promise((resolve) => {
            const timer = setTimeout(resolve, SAVE_GATHER_MS);
            this.#hurry = () => {
              clearTimeout(timer);
              resolve();
            };
          });
          this.#hurry = null;
        }
      }
    } finally {
      this.#saver = null; // at once: a save asked for from here on starts a new saver
    }
  }

  // Waits until every outcome reported is on the disk, or the saving has failed.
  async #flushed() {
    for (;;) {
      if (this.#saver === null && this.#dirty && this.#saveError === null) this.#saveSoon();
      if (this.#saver === null) return;
      this.#hurry?.();
      await this.#saver;
    }
  }

  // The same, throwing what stopped the saving.
  async #saved() {
    await this.#flushed();
    if (this.#saveError !== null) {
      const error = this.#saveError;
      this.#saveError = null;
      throw error;
    }
  }

  // Passes run one after another, never two at once.
  #enqueue(run) {
    const pass = this.#passes.then(run);
    this.#passes = pass.catch(() => {});
    return pass;
  }

  #clearTimer() {
    if (this.#timer !== null) clearTimeout(this.#timer);
    this.#timer = null;
  }

  // A background pass in delayMs (sooner than one already planned), or, while one runs, another after it.
  #wake(delayMs) {
    if (!this.#background || this.#closing !== null) return;
    if (this.#running > 0) {
      this.#again = true;
      return;
    }
    const at = Date.now() + delayMs;
    if (this.#timer !== null && this.#timer.at <= at) return;
    this.#clearTimer();
    const timer = setTimeout(() => {
      this.#timer = null;
      this.#enqueue(() => this.#pass(Infinity, false)).catch(() => this.#wake(this.#options.backoffBase));
    }, Math.max(0, delayMs));
    timer.at = at;
    this.#timer = timer;
  }

  #mayConnect(now) {
    if (!this.#offline) return true;
    return now >= this.#probeAt && this.#sending.size === 0;
  }

  #connected(result) {
    if (result.connectionFailed) {
      this.#connectionFailures += 1;
      if (this.#connectionFailures >= this.#options.offlineAfter && !this.#offline) {
        this.#offline = true;
        this.#probeAt = Date.now() + this.#options.backoffCap;
      } else if (this.#offline) {
        this.#probeAt = Date.now() + this.#options.backoffCap;
      }
    } else if (result.status !== null) {
      this.#connectionFailures = 0;
      this.#offline = false;
    }
  }

  #dueAt(opId) {
    return this.#notBefore.get(opId)?.at ?? 0;
  }

  // Takes requests from the journal into the held set, a batch at a time so
  // that one save serves many: once fewer are due there than the free places
  // and half a first batch, so that the batch's save is on the disk before the
  // held ones have gone and the wire never waits for it. One whose backoff has
  // not passed is held too, not counted: saved in flight meanwhile, it comes
  // back unknown after a crash, which costs only a resend by its key. `pace`
  // is the pass's: its batch size grows with each batch taken. Gives back
  // those taken; none may go before the next save.
  #handOut(now, limit, pace) {
    const window = this.#offline ? limit : Math.max(pace.window, limit);
    const ahead = this.#offline ? 0 : Math.max(HAND_OUT, limit) >> 1;
    const enough = limit + ahead - this.#sending.size;
    let due = 0;
    for (const opId of this.#waiting.keys()) {
      if (due >= enough) break; // counted far enough: no batch yet
      if (this.#dueAt(opId) <= now) due += 1;
    }
    if (due >= enough) return [];
    const generation = this.#generation + 1; // the next snapshot taken
    const taken = [];
    for (let count = 0; count < window;) {
      const request = this.#wishes.nextRequest(this.#baseUrl);
      if (request === null) break;
      this.#waiting.set(request.opId, { request, generation });
      taken.push(request);
      if (this.#dueAt(request.opId) <= now) count += 1;
    }
    if (taken.length > 0 && !this.#offline) pace.window = Math.min(2 * window, HAND_OUT_MAX);
    return taken;
  }

  // The held requests that may go now (their time come, their save on the
  // disk), for the free places, in the order they were handed out. Their
  // generations only grow in that order: the first not on the disk ends the walk.
  #due(now, limit) {
    const due = [];
    for (const [opId, { request, generation }] of this.#waiting) {
      if (this.#sending.size + due.length >= limit || generation > this.#durable) break;
      if (this.#dueAt(opId) > now) continue;
      this.#waiting.delete(opId);
      due.push(request);
    }
    return due;
  }

  async #pass(until, asked) {
    if (this.#closing !== null && asked) throw new OrvelError('the client is closed');
    if (this.#closing !== null) return null;
    this.#running += 1;
    this.#setState(ClientState.Syncing);
    const summary = { sent: 0, accepted: 0, rejected: 0, failed: 0, unknown: 0, refreshed: false, nextPassAt: null };
    try {
      const under = new Set(); // requests on the wire, and batches waiting for their save
      const pace = { window: HAND_OUT }; // this pass's next batch size
      // A batch taken from the journal goes once one snapshot shows it all in
      // flight (with the answers reported so far); its requests start as places free up.
      const fill = () => {
        const now = Date.now();
        if (this.#closing !== null || now >= until || this.#saveError !== null || !this.#mayConnect(now)) return;
        const limit = this.#offline ? 1 : this.#options.maxInFlight; // offline: one probe
        const batch = this.#handOut(now, limit, pace);
        if (batch.length > 0) {
          const saving = this.#savedAsSent().catch(() => {
            // None of them left: they come back unsent, and the pass ends with the save's error.
            for (const request of batch) {
              if (this.#waiting.get(request.opId)?.request !== request) continue;
              this.#waiting.delete(request.opId);
              this.#wishes.report(request.opId, Outcome.Failed);
            }
          }).finally(() => under.delete(saving));
          under.add(saving);
        }
        for (const request of this.#due(now, limit)) {
          if (this.#offline) this.#probeAt = now + this.#options.backoffCap;
          const sent = this.#send(request, summary).finally(() => under.delete(sent));
          under.add(sent);
        }
      };
      fill();
      while (under.size > 0) {
        await Promise.race(under);
        fill();
      }
      await this.#flushed(); // the answers' save, before the refresh
      const now = Date.now();
      const wanted = asked || summary.accepted > 0 || this.#wishes.confirming > 0 || now >= this.#lastRefresh + this.#options.refreshInterval;
      if (wanted && this.#closing === null && this.#saveError === null && now < until && now >= this.#refreshAt && this.#mayConnect(now)) {
        summary.refreshed = await this.#refresh();
      }
      await this.#saved();
      summary.nextPassAt = this.#nextPassAt();
      return Object.freeze({ ...summary, nextPassAt: summary.nextPassAt === null ? null : new Date(summary.nextPassAt) });
    } finally {
      this.#running -= 1;
      this.#settle(summary.nextPassAt ?? this.#nextPassAt());
    }
  }

  // After a pass: the state it leaves, and the next background pass.
  #settle(nextAt) {
    if (this.#closing !== null) return;
    const waiting = this.#waiting.size > 0 || this.#wishes.unsent > 0 || this.#refreshFailures > 0;
    if (this.#offline) this.#setState(ClientState.Offline);
    else this.#setState(waiting ? ClientState.BackingOff : ClientState.Idle);
    if (this.#again) {
      this.#again = false;
      this.#wake(0);
    } else if (nextAt !== null) {
      this.#wake(Math.max(0, nextAt - Date.now()));
    }
  }

  // When something next falls due: a held request, an offline probe, a refresh.
  #nextPassAt() {
    const now = Date.now();
    let at = this.#lastRefresh + this.#options.refreshInterval;
    for (const [opId, wait] of this.#notBefore) {
      if (this.#wishes.status(wait.kind, wait.itemId).opId !== opId) this.#notBefore.delete(opId); // replaced, or done
    }
    for (const opId of this.#waiting.keys()) at = Math.min(at, this.#notBefore.get(opId)?.at ?? now);
    // A pass hands out every unsent request it may; one left means a pass was cut short.
    if (this.#wishes.unsent > 0) at = now;
    if (this.#refreshFailures > 0) at = Math.min(at, this.#refreshAt);
    if (this.#wishes.confirming > 0) at = Math.min(at, Math.max(now, this.#refreshAt)); // a list confirms them
    if (this.#offline) at = Math.max(at, this.#probeAt);
    return at;
  }

  #retryAt(attempts, retryAfter) {
    const now = Date.now();
    const delay = backoffDelay(attempts, this.#options.backoffBase, this.#options.backoffCap);
    return now + Math.max(delay, retryAfter ?? 0);
  }

  // Sends a request whose snapshot is on the disk and reports its answer.
  async #send(request, summary) {
    const { opId, kind, itemId, wished } = request;
    this.#sending.set(opId, request);
    summary.sent += 1;
    let result;
    try {
      result = await sendChange(request, {
        key: `${this.#installation}.${opId}`,
        timeoutMs: this.#options.requestTimeout,
        headers: this.#options.headers,
        signal: this.#abort.signal,
      });
    } finally {
      this.#sending.delete(opId);
    }
    this.#connected(result);
    const hadIt = this.#wishes.has(kind, itemId);
    const change = this.#wishes.report(opId, result.outcome);
    const where = key(kind, itemId);
    switch (result.outcome) {
      case Outcome.Accepted:
        summary.accepted += 1;
        break;
      case Outcome.Rejected:
        summary.rejected += 1;
        break;
      case Outcome.Failed:
        summary.failed += 1;
        break;
      default:
        summary.unknown += 1;
    }
    if (result.outcome === Outcome.Accepted || result.outcome === Outcome.Rejected) {
      this.#notBefore.delete(opId);
      this.#lastError.delete(where);
    } else {
      const entry = this.#wishes.status(kind, itemId);
      if (entry.opId === opId) this.#notBefore.set(opId, { at: this.#retryAt(entry.attempts, result.retryAfterMs), kind, itemId });
      this.#lastError.set(where, result.reason);
    }
    const events = [];
    if (result.outcome === Outcome.Rejected) {
      events.push(['rejected', Object.freeze({ kind, itemId, wished, status: result.status, reason: result.reason, storeChange: change })]);
    }
    if (change !== StoreChange.Unchanged || this.#wishes.has(kind, itemId) !== hadIt) {
      events.push(['change', Object.freeze({ kind, itemId, wished: this.#wishes.has(kind, itemId), cause: 'rejected' })]);
    }
    this.#reported(events);
  }

  async #refresh() {
    const token = this.#wishes.beginRefresh();
    const result = await fetchList(this.#mineUrl, {
      timeoutMs: this.#options.listTimeout,
      maxBytes: this.#options.maxResponseBytes,
      headers: this.#options.headers,
      signal: this.#abort.signal,
    });
    this.#connected(result);
    const failed = (reason, retryAfter = null) => {
      this.#refreshFailures += 1;
      this.#refreshAt = this.#retryAt(this.#refreshFailures, retryAfter);
      this.#lastRefreshError = reason;
      return false;
    };
    if (result.bytes === null) return failed(result.reason, result.retryAfterMs);
    if (this.#closing !== null) return false;
    // What the list changed, for onChange(): worked out only when someone listens.
    const before = this.#listeners.change.size > 0 ? new Map(this.entries().map((e) => [key(e.kind, e.itemId), e])) : null;
    try {
      if (this.#wishes.load(token, result.bytes) === null) return false; // a newer list is loaded already
    } catch (error) {
      if (!(error instanceof OrvelError)) throw error;
      return failed(`the list does not read (${error.reason})`);
    }
    this.#refreshFailures = 0;
    this.#refreshAt = 0;
    this.#lastRefresh = Date.now();
    this.#lastRefreshError = '';
    const events = [];
    if (before !== null) {
      for (const entry of this.#wishes) {
        if (!before.delete(key(entry.kind, entry.itemId))) events.push(['change', Object.freeze({ kind: entry.kind, itemId: entry.itemId, wished: true, cause: 'refresh' })]);
      }
      for (const entry of before.values()) events.push(['change', Object.freeze({ kind: entry.kind, itemId: entry.itemId, wished: false, cause: 'refresh' })]);
    }
    this.#reported(events);
    return true;
  }

  #lastRefreshError = '';

  /** Why the last refresh failed, or '' after one that loaded. */
  get lastRefreshError() {
    return this.#lastRefreshError;
  }
}

// `await using client = new WishlistClient(...)` where the runtime has it.
if (typeof Symbol.asyncDispose === 'symbol') {
  WishlistClient.prototype[Symbol.asyncDispose] = function asyncDispose() {
    return this.close();
  };
}

module.exports = { ClientState, DEFAULTS, FILE_OPS, StateError, WishlistClient };
