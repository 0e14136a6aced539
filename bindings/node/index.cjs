// SPDX-License-Identifier: MIT
'use strict';
// Node binding for liborvel: one user's wishlist, its service messages and its
// export, and with liborvel-sync a wishlist whose changes are kept until the
// service confirms them. Texts go in as strings (encoded as UTF-8) or byte
// arrays (passed as they are); texts come back as strings. The ES module entry
// re-exports this one, so both entries share one loaded library and one set
// of classes.

const { LibraryNotFoundError, OrvelError, REASONS, SYNC_REASONS } = require('./lib/errors.cjs');
const library = require('./lib/library.cjs');
const { EntryState, Outcome, StoreChange, SyncedWishlist } = require('./lib/synced.cjs');
const { ClientState, DEFAULTS, StateError, WishlistClient } = require('./lib/client/client.cjs');
const { isUtf8Text, text } = require('./lib/text.cjs');
const { Wishlist, taken } = require('./lib/wishlist.cjs');

const { ABI_VERSION, SYNC_ABI_VERSION, loadLibrary, loadSyncLibrary } = library;

const KINDS = Object.freeze(['track', 'album', 'artist', 'playlist']);

/** The library's version text, such as "1.0.0". */
function version() {
  return loadLibrary().version();
}

/** The library's interface version (ABI_VERSION). */
function abiVersion() {
  return loadLibrary().abiVersion();
}

/** liborvel-sync's version text. */
function syncVersion() {
  return loadSyncLibrary().version();
}

/** liborvel-sync's interface version (SYNC_ABI_VERSION). */
function syncAbiVersion() {
  return loadSyncLibrary().abiVersion();
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
  const base = text(baseUrl, 'baseUrl');
  // The library copies the base's bytes as they are; a URL that is not UTF-8
  // has no faithful string, so it fails as the journal's requests do.
  if (!isUtf8Text(base)) throw new OrvelError('cannot build the list URL', REASONS.invalidUtf8);
  return taken(loadLibrary().buildMineUrl(base), 'cannot build the list URL', REASONS.outOfMemory);
}

/** The JSON envelope of the POST that adds (add true) or removes one wish, as text. */
function buildWishRequestJson(add, kind, itemId, title = null, artist = null, baseUrl = null) {
  if (typeof add !== 'boolean') throw new TypeError('add must be a boolean');
  const lib = loadLibrary();
  const args = [text(kind, 'kind', false), text(itemId, 'itemId', false), text(title, 'title'), text(artist, 'artist')];
  const base = text(baseUrl, 'baseUrl');
  const result = lib.buildWishRequest(base, add ? 1 : 0, ...args);
  if (result !== null) return result;
  // The library names a bad kind or an empty id, and empties its text for a
  // text that is not UTF-8 or a lack of memory, except when the URL finds
  // none: its text is then an earlier call's, which must not be reported.
  let reason = REASONS.outOfMemory;
  if (lib.validateKind(args[0]) !== 0) reason = REASONS.invalidKind;
  else if (args[1].length === 1) reason = REASONS.emptyItemId;
  else if (![base, ...args].every(isUtf8Text)) reason = '';
  throw new OrvelError('cannot build the wish request', reason);
}

/** The envelope as an object with method, url, contentType and body (body a string). */
function buildWishRequest(add, kind, itemId, title = null, artist = null, baseUrl = null) {
  return JSON.parse(buildWishRequestJson(add, kind, itemId, title, artist, baseUrl));
}

module.exports = {
  ABI_VERSION,
  ClientState,
  DEFAULTS,
  EntryState,
  KINDS,
  LIBRARIES: library.LIBRARIES,
  LibraryNotFoundError,
  OrvelError,
  Outcome,
  REASONS,
  SEARCH_ORDER: library.SEARCH_ORDER,
  SYNC_ABI_VERSION,
  SYNC_REASONS,
  StateError,
  StoreChange,
  SyncedWishlist,
  Wishlist,
  WishlistClient,
  abiVersion,
  buildMineUrl,
  buildWishRequest,
  buildWishRequestJson,
  loadLibrary: (libraryPath, syncLibraryPath) => {
    loadLibrary(libraryPath);
    if (syncLibraryPath !== undefined && syncLibraryPath !== null) loadSyncLibrary(syncLibraryPath);
  },
  selftest,
  syncAbiVersion,
  syncVersion,
  validateKind,
  version,
};
