// SPDX-License-Identifier: MIT
'use strict';
// Wishlist, one user's store, and the read access it shares with SyncedWishlist.

const { OrvelError, REASONS } = require('./errors.cjs');
const { loadLibrary } = require('./library.cjs');
const { own, release } = require('./release.cjs');
const { responseBytes, sized, text } = require('./text.cjs');

const INSPECT = Symbol.for('nodejs.util.inspect.custom');

/** A text the library returned, or an OrvelError when it returned none. */
function taken(result, what, reason = '') {
  if (result === null) throw new OrvelError(what, reason);
  return result;
}

// The live handles of a reader, for the subclasses in this package only (set
// by the class's static block, which can reach its private fields).
let handlesOf;

/** Read access to a store: what Wishlist and SyncedWishlist have in common. */
class StoreReader {
  #lib;
  #owner;

  /** Takes ownership of handles (handles.store at least), released by free(handles). */
  constructor(lib, handles, free) {
    this.#lib = lib;
    this.#owner = own(this, handles, free);
  }

  static {
    handlesOf = (reader) => {
      const { handles } = reader.#owner;
      if (handles === null) throw new OrvelError(`the ${reader.constructor.name} is closed`);
      return handles;
    };
  }

  /** Releases the native objects; harmless when already closed. */
  close() {
    release(this.#owner);
  }

  /** True once close() has run. */
  get closed() {
    return this.#owner.handles === null;
  }

  /** True when the (kind, itemId) entry is in the store. */
  has(kind, itemId) {
    return this.#lib.isWished(handlesOf(this).store, text(kind, 'kind', false), text(itemId, 'itemId', false)) === 1;
  }

  /** The number of entries. */
  get size() {
    return this.#lib.count(handlesOf(this).store);
  }

  /** The whole store as the library's JSON text: {"total":N,"items":[...]}. */
  exportJson() {
    return taken(
      this.#lib.exportJson(handlesOf(this).store),
      'cannot export the wishlist (a text is not valid UTF-8, or memory is short)',
    );
  }

  /** The whole store as an object: {total, items: [{kind, itemId, title, artist}...]}. */
  export() {
    return JSON.parse(this.exportJson());
  }

  /** JSON.stringify() writes what export() returns. */
  toJSON() {
    return this.export();
  }

  /** The entries in store order, frozen, as they are when the iteration starts. */
  [Symbol.iterator]() {
    return this.export().items.map(Object.freeze).values();
  }

  [INSPECT]() {
    const name = this.constructor.name;
    if (this.closed) return `${name} (closed)`;
    const n = this.size;
    return `${name} (${n} ${n === 1 ? 'entry' : 'entries'})`;
  }
}

// `using w = new Wishlist()` where the runtime knows explicit resource management.
if (typeof Symbol.dispose === 'symbol') {
  StoreReader.prototype[Symbol.dispose] = function dispose() {
    this.close();
  };
}

/** One user's wishlist store. Call close() (or use `using`) when done. */
class Wishlist extends StoreReader {
  #lib;

  constructor() {
    const lib = loadLibrary();
    const store = lib.create();
    if (store === null) throw new OrvelError('cannot create a wishlist', REASONS.outOfMemory);
    super(lib, { store }, (handles) => lib.destroy(handles.store));
    this.#lib = lib;
  }

  /** Replaces the content with a list response and returns the number of entries. */
  load(response) {
    const count = this.#lib.load(handlesOf(this).store, ...sized(responseBytes(response)));
    if (count < 0) throw new OrvelError('cannot load the response', this.#lib.lastError());
    return count;
  }

  /** Adds the entry (true) or removes it (false); throws OrvelError, the store unchanged, on failure. */
  toggle(kind, itemId, title = null, artist = null) {
    const kindText = text(kind, 'kind', false);
    const idText = text(itemId, 'itemId', false);
    const result = this.#lib.toggle(handlesOf(this).store, kindText, idText, text(title, 'title'), text(artist, 'artist'));
    if (result < 0) {
      let reason = REASONS.outOfMemoryOrFull;
      if (this.#lib.validateKind(kindText) !== 0) reason = REASONS.invalidKind;
      else if (idText.length === 1) reason = REASONS.emptyItemId;
      throw new OrvelError(`cannot toggle ${JSON.stringify(String(kind))} ${JSON.stringify(String(itemId))}`, reason);
    }
    return result === 1;
  }
}

module.exports = { StoreReader, Wishlist, handlesOf, taken };
