// SPDX-License-Identifier: MIT
'use strict';
// SyncedWishlist: a store and its change journal (liborvel-sync), owned together.

const { OrvelError, REASONS } = require('./errors.cjs');
const { loadLibrary, loadSyncLibrary } = require('./library.cjs');
const { StoreReader, handlesOf } = require('./wishlist.cjs');
const { responseBytes, sized, text } = require('./text.cjs');

// A TypeScript numeric enum: its names, and the reverse mapping.
function numericEnum(names) {
  const table = {};
  for (const [name, value] of Object.entries(names)) {
    table[name] = value;
    table[value] = name;
  }
  return Object.freeze(table);
}

/** What became of a request: report()'s outcome. */
const Outcome = numericEnum({ Accepted: 1, Rejected: 2, Failed: 3, Unknown: 4 });
/** What report() did to the store. */
const StoreChange = numericEnum({ Unchanged: 0, Removed: 1, Shown: 2 });
/** Where an entry stands in the journal: status()'s state. */
const EntryState = numericEnum({ Synced: 0, Unsent: 1, InFlight: 2, Confirming: 3, Uncertain: 4 });

// orvel_sync_count's selectors, and orvel_sync_load's result for a stale response.
const COUNT = Object.freeze({ held: 0, unsent: 1, inFlight: 2, confirming: 3, uncertain: 4 });
const STALE = -2;

// Handles openSnapshot() made, for the constructor it calls to take instead of new ones.
let adopted = null;

// The package's own: snapshot() as the bytes the library wrote (a Buffer), for
// a caller that writes them to a file, without making a string of them first.
let snapshotBytes = null;

const INT64_MIN = -(2n ** 63n);
const INT64_MAX = 2n ** 63n - 1n;

// An operation id or a token, as the library's int64_t: a safe integer or a
// bigint (TypeError otherwise). A bigint outside int64_t would reach the
// library wrapped onto another value: it fails as the journal fails any id or
// token it never gave, with `reason`.
function int64(value, name, reason) {
  if (typeof value === 'bigint') {
    if (value >= INT64_MIN && value <= INT64_MAX) return value;
    throw new OrvelError(`${name} ${value} is out of range`, reason);
  }
  if (Number.isSafeInteger(value)) return value;
  throw new TypeError(`${name} must be a safe integer or a bigint, not ${typeof value === 'number' ? value : typeof value}`);
}

// A request as nextRequest() gives it: the envelope's members, and what its body asks.
function pendingRequest(opId, json) {
  const envelope = JSON.parse(json);
  const body = JSON.parse(envelope.body);
  return { opId, ...envelope, json, kind: body.kind, itemId: body.itemId, wished: body.op === 'add' };
}

/**
 * A store and its change journal. Read it as a Wishlist; change it only with
 * setWished(), so that the journal keeps each change until the service confirms it.
 * Ids and tokens come back as numbers: the journal keeps them below 2^53.
 * Each object belongs to the thread that made it: a worker thread loads the
 * package anew and makes its own (objects cannot be passed between threads).
 */
class SyncedWishlist extends StoreReader {
  #sync;

  constructor() {
    const lib = loadLibrary();
    const sync = loadSyncLibrary();
    if (adopted !== null) {
      const handles = adopted;
      adopted = null;
      super(lib, handles, (h) => {
        sync.destroy(h.journal);
        lib.destroy(h.store);
      });
      this.#sync = sync;
      return;
    }
    const store = lib.create();
    if (store === null) throw new OrvelError('cannot create a wishlist', REASONS.outOfMemory);
    const journal = sync.create(store);
    if (journal === null) {
      const reason = sync.lastError();
      lib.destroy(store);
      throw new OrvelError('cannot create a journal', reason);
    }
    super(lib, { store, journal }, (handles) => {
      sync.destroy(handles.journal);
      lib.destroy(handles.store);
    });
    this.#sync = sync;
  }

  #fail(what) {
    return new OrvelError(what, this.#sync.lastError());
  }

  /**
   * A new SyncedWishlist with a saved store (exportJson()) loaded, then a saved
   * journal (save()) restored over it.
   */
  static restore(journalText, storeText = null) {
    const journalBytes = responseBytes(journalText, 'journalText');
    const storeBytes = storeText === null || storeText === undefined ? null : responseBytes(storeText, 'storeText');
    const restored = new SyncedWishlist();
    try {
      const { store, journal } = handlesOf(restored);
      if (storeBytes !== null) {
        const lib = loadLibrary();
        if (lib.load(store, ...sized(storeBytes)) < 0) throw new OrvelError('cannot load the saved store', lib.lastError());
      }
      if (restored.#sync.restore(journal, ...sized(journalBytes)) < 0) throw restored.#fail('cannot restore the journal');
    } catch (error) {
      restored.close();
      throw error;
    }
    return restored;
  }

  /**
   * A new SyncedWishlist from what snapshot() gave: its store and its journal.
   * Operations that were in flight come back unsent, counted as reported unknown.
   */
  static openSnapshot(text) {
    const bytes = responseBytes(text, 'text');
    const lib = loadLibrary();
    const sync = loadSyncLibrary();
    const store = [null];
    const journal = sync.openSnapshot(...sized(bytes), store);
    if (journal === null) throw new OrvelError('cannot open the snapshot', sync.lastError());
    adopted = { store: store[0], journal };
    try {
      return new SyncedWishlist();
    } finally {
      if (adopted !== null) {
        // The constructor never took them.
        sync.destroy(journal);
        lib.destroy(store[0]);
        adopted = null;
      }
    }
  }

  /**
   * Records that the entry be wished (true) or not, and shows it at once.
   * Returns the operation's id, or 0 when the store shows it already.
   */
  setWished(kind, itemId, wished, title = null, artist = null) {
    if (typeof wished !== 'boolean') throw new TypeError('wished must be a boolean');
    const id = this.#sync.set(
      handlesOf(this).journal,
      wished ? 1 : 0,
      text(kind, 'kind', false),
      text(itemId, 'itemId', false),
      text(title, 'title'),
      text(artist, 'artist'),
    );
    if (id < 0) throw this.#fail(`cannot set ${JSON.stringify(String(kind))} ${JSON.stringify(String(itemId))}`);
    return id;
  }

  /** The request of the oldest unsent operation, now in flight, or null when nothing can be sent. */
  nextRequest(baseUrl = null) {
    const opId = [0];
    const json = this.#sync.nextRequest(handlesOf(this).journal, text(baseUrl, 'baseUrl'), opId);
    if (json === null) {
      if (this.#sync.lastError() !== '') throw this.#fail('cannot make the next request');
      return null;
    }
    return pendingRequest(opId[0], json);
  }

  /**
   * Reports what became of the request of an operation in flight (an Outcome);
   * returns what that did to the store (a StoreChange).
   */
  report(opId, outcome) {
    if (!Number.isInteger(outcome) || outcome !== (outcome | 0)) throw new TypeError('outcome must be an Outcome');
    const change = [0];
    if (this.#sync.reportOutcome(handlesOf(this).journal, int64(opId, 'opId', 'unknown operation'), outcome, change) < 0) {
      throw this.#fail(`cannot report operation ${opId}`);
    }
    return change[0];
  }

  /** Where the entry stands in the journal: { state, wished, opId, attempts, uncertain }. */
  status(kind, itemId) {
    const entry = [{}];
    const kindText = text(kind, 'kind', false);
    const idText = text(itemId, 'itemId', false);
    if (this.#sync.entryStatus(handlesOf(this).journal, kindText, idText, entry) < 0) {
      throw this.#fail(`cannot read the status of ${JSON.stringify(String(kind))} ${JSON.stringify(String(itemId))}`);
    }
    const { state, wished, op_id: opId, attempts, uncertain } = entry[0];
    return Object.freeze({ state, wished: wished < 0 ? null : wished === 1, opId, attempts, uncertain });
  }

  /** The store and the journal in one JSON text, for openSnapshot(): one file write saves both. */
  snapshot() {
    const json = this.#sync.snapshot(handlesOf(this).journal);
    if (json === null) throw this.#fail('cannot take a snapshot');
    return json;
  }

  static {
    snapshotBytes = (wishes) => {
      const bytes = wishes.#sync.bytes.snapshot(handlesOf(wishes).journal);
      if (bytes === null) throw wishes.#fail('cannot take a snapshot');
      return bytes;
    };
  }

  /** A token for a list fetch about to start: take it before the request leaves. */
  beginRefresh() {
    const token = this.#sync.beginRefresh(handlesOf(this).journal);
    if (token < 0) throw this.#fail('cannot begin a refresh');
    return token;
  }

  /**
   * Loads the list response of the fetch that token belongs to; returns the
   * entry count, or null when a newer response was loaded already (this one is ignored).
   */
  load(token, response) {
    const count = this.#sync.load(handlesOf(this).journal, int64(token, 'token', 'unknown token'), ...sized(responseBytes(response)));
    if (count === STALE) return null;
    if (count < 0) throw this.#fail('cannot load the response');
    return count;
  }

  /** The journal as a JSON text, for restore(); save it with exportJson() after each change. */
  save() {
    const json = this.#sync.export(handlesOf(this).journal);
    if (json === null) throw this.#fail('cannot save the journal');
    return json;
  }

  #count(which) {
    const n = this.#sync.count(handlesOf(this).journal, which);
    if (n < 0) throw this.#fail('cannot count the operations');
    return n;
  }

  /** Operations held. */
  get held() {
    return this.#count(COUNT.held);
  }

  /** Operations waiting to be sent. */
  get unsent() {
    return this.#count(COUNT.unsent);
  }

  /** Operations handed out by nextRequest() and not yet reported. */
  get inFlight() {
    return this.#count(COUNT.inFlight);
  }

  /** Operations accepted, until a list fetched after their report has been loaded. */
  get confirming() {
    return this.#count(COUNT.confirming);
  }

  /** Entries a request reported unknown may still land on (not counted in held). */
  get uncertain() {
    return this.#count(COUNT.uncertain);
  }
}

module.exports = { EntryState, Outcome, STALE, StoreChange, SyncedWishlist, snapshotBytes };
