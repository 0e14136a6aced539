// SPDX-License-Identifier: MIT
'use strict';
// The package's errors, and the reasons it gives of its own.

/** A library call failed; `reason` is the library's own text for this call's failure, or "". */
class OrvelError extends Error {
  constructor(what, reason = '') {
    super(reason ? `${what}: ${reason}` : what);
    this.name = 'OrvelError';
    this.reason = reason;
  }
}

/** A library could not be loaded; `tried` lists each place and why it failed. */
class LibraryNotFoundError extends OrvelError {
  constructor(library, tried, fix) {
    const lines = tried.map(({ place, why }) => `  ${place}: ${why}`).join('\n');
    super(`${library} could not be loaded. Tried:\n${lines}\n${fix}`);
    this.name = 'LibraryNotFoundError';
    this.library = library;
    this.tried = tried;
  }
}

// Every reason the Wishlist side gives: liborvel's four texts, as orvel.h
// lists them, then the package's own where liborvel writes none (a toggle
// reports no reason; a request whose URL found no memory leaves an earlier
// call's text in place; a list URL is not checked), in liborvel-sync's words
// for the same faults. SyncedWishlist gives liborvel-sync's own reasons.
const REASONS = Object.freeze({
  invalidKind: 'invalid kind',
  emptyItemId: 'empty item_id',
  nullArg: 'null arg',
  invalidJson: 'invalid json',
  outOfMemory: 'out of memory',
  invalidUtf8: 'invalid utf-8',
  outOfMemoryOrFull: 'out of memory or the store is full',
});

// Every reason SyncedWishlist's failures give: liborvel-sync's texts, in the
// order orvel_sync.h lists them.
const SYNC_REASONS = Object.freeze([
  'null arg',
  'invalid kind',
  'empty item_id',
  'invalid utf-8',
  'invalid argument',
  'unknown operation',
  'unknown token',
  'stale response',
  'invalid json',
  'invalid journal',
  'unsupported version',
  'journal not empty',
  'invalid snapshot',
  'out of memory',
]);

module.exports = { LibraryNotFoundError, OrvelError, REASONS, SYNC_REASONS };
