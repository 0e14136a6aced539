'use strict';
// Node binding for liborvel: one user's wishlist, its service messages and its
// export. Texts go in as strings (encoded as UTF-8) or byte arrays (passed as
// they are); texts come back as strings. The ES module entry re-exports this
// one, so both entries share one loaded library and one set of classes.

const { ABI_VERSION, OrvelError, LibraryNotFoundError, loadLibrary } = require('./lib/library.cjs');

const KINDS = Object.freeze(['track', 'album', 'artist', 'playlist']);

// A lone surrogate has no UTF-8 form; Buffer.from would silently turn it into
// U+FFFD, so it is refused instead (String.isWellFormed needs Node 20).
const LONE_SURROGATE = /\p{Surrogate}/u;

// A NUL-terminated Buffer for a text argument; null stays absent where allowed.
function text(value, name, optional = true) {
  if (value === null || value === undefined) {
    if (optional) return null;
    throw new TypeError(`${name} must be a string or a Uint8Array, not ${value}`);
  }
  let bytes;
  if (typeof value === 'string') {
    if (LONE_SURROGATE.test(value)) throw new TypeError(`${name} holds a lone surrogate: it has no UTF-8 form`);
    bytes = Buffer.from(value, 'utf8');
  } else if (value instanceof Uint8Array) {
    bytes = value;
  } else {
    throw new TypeError(`${name} must be a string or a Uint8Array, not ${typeof value}`);
  }
  if (bytes.includes(0)) throw new TypeError(`${name} must not contain NUL characters`);
  const terminated = Buffer.allocUnsafe(bytes.length + 1);
  terminated.set(bytes);
  terminated[bytes.length] = 0;
  return terminated;
}

// The bytes of a list response, viewed without a copy where possible.
function responseBytes(response) {
  if (typeof response === 'string') {
    if (LONE_SURROGATE.test(response)) throw new TypeError('response holds a lone surrogate: it has no UTF-8 form');
    return Buffer.from(response, 'utf8');
  }
  if (response instanceof ArrayBuffer) return new Uint8Array(response);
  if (ArrayBuffer.isView(response)) return new Uint8Array(response.buffer, response.byteOffset, response.byteLength);
  throw new TypeError(`response must be a string, an ArrayBuffer or a typed array, not ${typeof response}`);
}

const EMPTY_TEXT = new Uint8Array([0]);

function takeText(result, what, withError = false) {
  if (result === null) throw new OrvelError(what, withError ? loadLibrary().lastError() : '');
  return result;
}

/** The library's version text, such as "1.0.0". */
function version() {
  return loadLibrary().version();
}

/** The library's interface version (ABI_VERSION). */
function abiVersion() {
  return loadLibrary().abiVersion();
}

/** True when kind is one of KINDS, exactly (case-sensitive). */
function validateKind(kind) {
  return loadLibrary().validateKind(text(kind, 'kind', false)) === 0;
}

/** Runs the built-in self-test: 0 when it passes, else the first failing step (1 to 6). */
function selftest() {
  return loadLibrary().selftest();
}

/** The URL that lists the user's wishes; null, undefined or "" select the default base. */
function buildMineUrl(baseUrl = null) {
  return takeText(loadLibrary().buildMineUrl(text(baseUrl, 'baseUrl')), 'cannot build the list URL (out of memory)');
}

/** The JSON envelope of the POST that adds (add true) or removes one wish, as text. */
function buildWishRequestJson(add, kind, itemId, title = null, artist = null, baseUrl = null) {
  if (typeof add !== 'boolean') throw new TypeError('add must be a boolean');
  const result = loadLibrary().buildWishRequest(
    text(baseUrl, 'baseUrl'),
    add ? 1 : 0,
    text(kind, 'kind', false),
    text(itemId, 'itemId', false),
    text(title, 'title'),
    text(artist, 'artist'),
  );
  return takeText(result, 'cannot build the wish request', true);
}

/** The envelope as an object with method, url, contentType and body (body a string). */
function buildWishRequest(add, kind, itemId, title = null, artist = null, baseUrl = null) {
  return JSON.parse(buildWishRequestJson(add, kind, itemId, title, artist, baseUrl));
}

// Releases the stores of Wishlists that were collected without close().
const forgotten = new FinalizationRegistry((store) => loadLibrary().destroy(store));

/** One user's wishlist store. Call close() (or use `using`) when done. */
class Wishlist {
  #lib;
  #store;

  constructor() {
    this.#lib = loadLibrary();
    this.#store = this.#lib.create();
    if (this.#store === null) throw new OrvelError('orvel_create: out of memory');
    forgotten.register(this, this.#store, this);
  }

  /** Releases the store; harmless when already closed. */
  close() {
    if (this.#store === null) return;
    forgotten.unregister(this);
    this.#lib.destroy(this.#store);
    this.#store = null;
  }

  /** True once close() has run. */
  get closed() {
    return this.#store === null;
  }

  #handle() {
    if (this.#store === null) throw new OrvelError('the wishlist is closed');
    return this.#store;
  }

  /** Replaces the content with a list response and returns the number of entries. */
  load(response) {
    const bytes = responseBytes(response);
    // A length of 0 means "up to the first NUL": an empty response is passed
    // as a text that ends at once, so it fails as empty JSON.
    const count = this.#lib.load(this.#handle(), bytes.length > 0 ? bytes : EMPTY_TEXT, bytes.length);
    if (count < 0) throw new OrvelError('cannot load the response', this.#lib.lastError());
    return count;
  }

  /** Adds the entry (true) or removes it (false); throws OrvelError, the store unchanged, on failure. */
  toggle(kind, itemId, title = null, artist = null) {
    const kindText = text(kind, 'kind', false);
    const idText = text(itemId, 'itemId', false);
    const result = this.#lib.toggle(this.#handle(), kindText, idText, text(title, 'title'), text(artist, 'artist'));
    if (result < 0) {
      let reason = 'out of memory or the store is full';
      if (this.#lib.validateKind(kindText) !== 0) reason = 'invalid kind';
      else if (idText.length === 1) reason = 'empty item_id';
      throw new OrvelError(`cannot toggle ${JSON.stringify(String(kind))} ${JSON.stringify(String(itemId))}`, reason);
    }
    return result === 1;
  }

  /** True when the (kind, itemId) entry is in the wishlist. */
  has(kind, itemId) {
    return this.#lib.isWished(this.#handle(), text(kind, 'kind', false), text(itemId, 'itemId', false)) === 1;
  }

  /** The number of entries. */
  get size() {
    return this.#lib.count(this.#handle());
  }

  /** The whole wishlist as the library's JSON text: {"total":N,"items":[...]}. */
  exportJson() {
    return takeText(
      this.#lib.exportJson(this.#handle()),
      'cannot export the wishlist (a text is not valid UTF-8, or memory is short)',
    );
  }

  /** The whole wishlist as an object: {total, items: [{kind, itemId, title, artist}...]}. */
  export() {
    return JSON.parse(this.exportJson());
  }
}

// `using w = new Wishlist()` where the runtime knows explicit resource management.
if (typeof Symbol.dispose === 'symbol') {
  Wishlist.prototype[Symbol.dispose] = function dispose() {
    this.close();
  };
}

module.exports = {
  ABI_VERSION,
  KINDS,
  LibraryNotFoundError,
  OrvelError,
  Wishlist,
  abiVersion,
  buildMineUrl,
  buildWishRequest,
  buildWishRequestJson,
  loadLibrary: (libraryPath) => {
    loadLibrary(libraryPath);
  },
  selftest,
  validateKind,
  version,
};
