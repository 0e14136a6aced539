// SPDX-License-Identifier: MIT
// Type declarations of the orvel package's CommonJS entry (require('orvel'));
// index.d.mts gives the ES module entry the same names and its default export.

// Where the TypeScript library knows Symbol.dispose (esnext), Disposable brings
// [Symbol.dispose]() and `using`; elsewhere this empty interface stands in, so
// the declarations type-check with any "lib" setting (AsyncDisposable alike).
declare global {
  interface Disposable {}
  interface AsyncDisposable {}
}

/** A text argument: a string (encoded as UTF-8) or bytes passed unchanged. No NUL characters. */
export type Text = string | Uint8Array;

/** A list response (or a saved store or journal), passed with its exact length. */
export type Response = string | ArrayBuffer | ArrayBufferView;

/** The four kinds of entry, exactly as the library spells them. */
export const KINDS: readonly ['track', 'album', 'artist', 'playlist'];
export type Kind = (typeof KINDS)[number];

/** The interface version of liborvel this package needs. */
export const ABI_VERSION: 1;
/** The interface version of liborvel-sync this package needs. */
export const SYNC_ABI_VERSION: 1;

/**
 * The places each library is looked for, in order: the path given to
 * loadLibrary, the environment variable ($ORVEL_LIBRARY, $ORVEL_SYNC_LIBRARY),
 * for liborvel-sync the folder liborvel was loaded from, the folder recorded
 * at installation, the package folder, the checkout's build, the loader path.
 */
export const SEARCH_ORDER: readonly [
  'argument',
  'environment',
  'coreFolder',
  'recorded',
  'package',
  'checkout',
  'loader',
];
/** What the package loads: each library's file names on this platform (most specific first) and variable. */
export interface LibraryFacts {
  readonly name: string;
  readonly files: readonly string[];
  readonly envVariable: string;
  readonly abiVersion: number;
}
export const LIBRARIES: {
  readonly core: LibraryFacts & { readonly name: 'liborvel'; readonly envVariable: 'ORVEL_LIBRARY' };
  readonly sync: LibraryFacts & { readonly name: 'liborvel-sync'; readonly envVariable: 'ORVEL_SYNC_LIBRARY' };
};

/**
 * The reasons of Wishlist's and the request builders' failures: liborvel's
 * texts, then the package's own where liborvel gives none.
 */
export const REASONS: {
  readonly invalidKind: 'invalid kind';
  readonly emptyItemId: 'empty item_id';
  readonly nullArg: 'null arg';
  readonly invalidJson: 'invalid json';
  readonly outOfMemory: 'out of memory';
  readonly invalidUtf8: 'invalid utf-8';
  readonly outOfMemoryOrFull: 'out of memory or the store is full';
};

/** A library call failed. */
export class OrvelError extends Error {
  /**
   * Why this call failed: one of REASONS, a reason of liborvel-sync's for a
   * SyncedWishlist ("unknown operation", "invalid journal", ...), or "".
   */
  readonly reason: string;
}

/** A library could not be loaded. */
export class LibraryNotFoundError extends OrvelError {
  /** Which one. */
  readonly library: 'liborvel' | 'liborvel-sync';
  /** Each place that was tried, and why it failed. */
  readonly tried: ReadonlyArray<{ place: string; why: string }>;
}

/**
 * Loads liborvel now instead of at first use, and liborvel-sync too when its
 * path is given. A path, then the environment variable, are used alone when
 * given; otherwise the places of SEARCH_ORDER are tried. Throws LibraryNotFoundError.
 */
export function loadLibrary(libraryPath?: string | null, syncLibraryPath?: string | null): void;

/** liborvel's version text, such as "1.0.0". */
export function version(): string;
/** liborvel's interface version. */
export function abiVersion(): number;
/** liborvel-sync's version text. */
export function syncVersion(): string;
/** liborvel-sync's interface version. */
export function syncAbiVersion(): number;
/** True when kind is one of KINDS, exactly. */
export function validateKind(kind: Text): kind is Kind;
/** 0 when the built-in self-test passes, else the first failing step (1 to 6). */
export function selftest(): number;

/**
 * The URL that lists the user's wishes; null, undefined or "" select the default base.
 * Throws OrvelError with reason "invalid utf-8" for a base of bytes that are not UTF-8.
 */
export function buildMineUrl(baseUrl?: Text | null): string;

/** The arguments of both request builders. */
export type WishRequestArgs = [
  add: boolean,
  kind: Kind,
  itemId: Text,
  title?: Text | null,
  artist?: Text | null,
  baseUrl?: Text | null,
];

/**
 * The JSON envelope of the POST that adds or removes one wish, as the library wrote it.
 * Throws OrvelError with reason "invalid kind", "empty item_id", "out of memory",
 * or "" when a text is not valid UTF-8.
 */
export function buildWishRequestJson(...args: WishRequestArgs): string;

export interface WishRequest {
  method: 'POST';
  url: string;
  contentType: 'application/json';
  /** The request body, a JSON text. */
  body: string;
}

/** The envelope parsed into an object. */
export function buildWishRequest(...args: WishRequestArgs): WishRequest;

/** One entry of a wishlist. */
export interface Entry {
  readonly kind: Kind;
  readonly itemId: string;
  readonly title: string;
  readonly artist: string;
}

export interface ExportDocument {
  total: number;
  items: Entry[];
}

/**
 * Read access to a store, shared by Wishlist and SyncedWishlist. An object
 * belongs to the thread that made it: a worker thread loads the package anew
 * and makes its own (no object can be passed between threads). close() (or `using`) when done; a forgotten one is released
 * on collection. On a worker thread, what is still open when the worker exits
 * is released then, but not when the worker is stopped by worker.terminate():
 * such a worker must close its wishlists itself.
 */
export interface WishlistReader extends Disposable, Iterable<Entry> {
  /** Releases the native objects; harmless when already closed. */
  close(): void;
  /** True once close() has run; any other use then throws OrvelError. */
  readonly closed: boolean;
  /** True when the entry is in the store. */
  has(kind: Kind, itemId: Text): boolean;
  /** The number of entries. */
  readonly size: number;
  /** The whole store as the library's JSON text. */
  exportJson(): string;
  /** The whole store parsed into an object. */
  export(): ExportDocument;
  /** What JSON.stringify writes: export(). */
  toJSON(): ExportDocument;
  /** The entries in store order, frozen, as they are when the iteration starts. */
  [Symbol.iterator](): IterableIterator<Entry>;
}

/** One user's wishlist store. */
export class Wishlist {
  constructor();
  /** Replaces the content with a list response; returns the entry count. Throws OrvelError("... invalid json"). */
  load(response: Response): number;
  /** Adds the entry (true) or removes it (false). Throws OrvelError, the store unchanged, on failure. */
  toggle(kind: Kind, itemId: Text, title?: Text | null, artist?: Text | null): boolean;
}
export interface Wishlist extends WishlistReader {}

/** What became of a request, for SyncedWishlist.report(). */
export enum Outcome {
  /** The service applied it (a 2xx answer). */
  Accepted = 1,
  /** The service refused it for good (4xx): the change is undone. */
  Rejected = 2,
  /**
   * It certainly did not reach the service (the connection was refused, the host
   * unknown), or the service said "try again" (408, 429, 5xx): it is sent again.
   */
  Failed = 3,
  /**
   * It may have reached the service (a deadline passed, or the connection broke
   * after it was written): sent again, and watched for landing late.
   */
  Unknown = 4,
}

/** What SyncedWishlist.report() did to the store. */
export enum StoreChange {
  Unchanged = 0,
  /** A refused addition: the entry is gone. */
  Removed = 1,
  /** A refused removal: the entry is back. */
  Shown = 2,
}

/** Where an entry stands in the journal. */
export enum EntryState {
  /** Nothing held: the store shows the service's state. */
  Synced = 0,
  Unsent = 1,
  InFlight = 2,
  /** The newest change was accepted; a list fetched since will confirm it. */
  Confirming = 3,
  /** Nothing held, but a request reported Unknown may still land. */
  Uncertain = 4,
}

/** One entry's state in the journal, from SyncedWishlist.status(). */
export interface EntryStatus {
  readonly state: EntryState;
  /** The user's newest intent; null when Synced. */
  readonly wished: boolean | null;
  /** The newest operation held for it, 0 when none is. */
  readonly opId: number;
  /** How often that operation's request was handed out. */
  readonly attempts: number;
  /** Requests reported Unknown that may still land on it. */
  readonly uncertain: number;
}

/** Every reason of SyncedWishlist's failures: liborvel-sync's texts, as orvel_sync.h lists them. */
export const SYNC_REASONS: readonly [
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
];

/** The request of a change, from SyncedWishlist.nextRequest(). */
export interface PendingRequest extends WishRequest {
  /** The operation's id, for report(): a safe integer (the journal keeps ids below 2^53). */
  opId: number;
  /** The envelope as the library wrote it. */
  json: string;
  /** What the request asks of the service: this entry wished (an addition) or not (a removal). */
  kind: Kind;
  itemId: string;
  wished: boolean;
}

/**
 * A store and its change journal (liborvel-sync): read as a Wishlist, changed
 * only through setWished(), each change kept until the service confirms it.
 * Failures throw OrvelError with the journal's reason. One object belongs to the
 * thread that made it: a worker thread loads the package anew and makes its own
 * (an object cannot be passed to another thread), so no two threads ever call
 * into one journal.
 */
export class SyncedWishlist {
  /** Throws LibraryNotFoundError when liborvel-sync cannot be loaded. */
  constructor();
  /** A new one with a saved store (exportJson()) loaded, then a saved journal (save()) restored. */
  static restore(journalText: Response, storeText?: Response | null): SyncedWishlist;
  /**
   * A new one from what snapshot() gave. Throws OrvelError "invalid json", "invalid snapshot",
   * "invalid journal" or "unsupported version" when the text cannot be read.
   */
  static openSnapshot(text: Response): SyncedWishlist;
  /** Shows the change at once and records it: the operation's id, or 0 when the store shows it already. */
  setWished(kind: Kind, itemId: Text, wished: boolean, title?: Text | null, artist?: Text | null): number;
  /** The request of the oldest unsent change (then in flight), or null when nothing can be sent. */
  nextRequest(baseUrl?: Text | null): PendingRequest | null;
  /**
   * What became of a request in flight, and what that did to the store. Report Failed only when
   * the request certainly did not reach the service, Unknown when it may have. An id may be given
   * as a bigint; one outside int64_t throws OrvelError "unknown operation", a number that is not a
   * safe integer TypeError.
   */
  report(opId: number | bigint, outcome: Outcome): StoreChange;
  /** Where the entry stands in the journal. Throws OrvelError "invalid kind" or "empty item_id". */
  status(kind: Kind, itemId: Text): EntryStatus;
  /** A token for a list fetch about to start: take it before the request leaves (a safe integer). */
  beginRefresh(): number;
  /**
   * Loads that fetch's list response: the entry count, or null when a newer list was loaded already.
   * A bigint outside int64_t throws OrvelError "unknown token"; a number that is not a safe integer, TypeError.
   */
  load(token: number | bigint, response: Response): number | null;
  /** The journal as a JSON text; save it with exportJson() after each change. */
  save(): string;
  /** The store and the journal in one JSON text, for openSnapshot(): one atomic file write saves both. */
  snapshot(): string;
  /** Operations held. */
  readonly held: number;
  /** Operations waiting to be sent. */
  readonly unsent: number;
  /** Operations handed out by nextRequest() and not yet reported. */
  readonly inFlight: number;
  /** Operations accepted, until a list fetched after their report has been loaded. */
  readonly confirming: number;
  /** Entries a request reported Unknown may still land on (not counted in held). */
  readonly uncertain: number;
}
export interface SyncedWishlist extends WishlistReader {}

/** The defaults every client shares: times in ms, sizes in bytes. */
export const DEFAULTS: {
  readonly requestTimeout: number;
  readonly listTimeout: number;
  readonly maxResponseBytes: number;
  readonly maxInFlight: number;
  readonly backoffBase: number;
  readonly backoffCap: number;
  readonly offlineAfter: number;
  readonly refreshInterval: number;
};

/** What a WishlistClient is doing, for onState(). */
export const ClientState: {
  readonly Idle: 'idle';
  readonly Syncing: 'syncing';
  readonly BackingOff: 'backing_off';
  readonly Offline: 'offline';
  readonly Closed: 'closed';
};
export type ClientStateName = (typeof ClientState)[keyof typeof ClientState];

/** The client's folder cannot be used (in use, damaged, unreadable): `path` names the folder or the file. */
export class StateError extends OrvelError {
  readonly path: string;
}

/** Header names and values, as an object or as pairs. */
export type ClientHeaders = Record<string, string> | ReadonlyArray<readonly [string, string]>;

export interface ClientOptions {
  /** Headers for each request, asked for just before it leaves (a bearer token that changes). */
  headers?: () => ClientHeaders | null | undefined | Promise<ClientHeaders | null | undefined>;
  /** A change request, connect to last byte, in ms. */
  requestTimeout?: number;
  /** The list, connect to last byte, in ms. */
  listTimeout?: number;
  /** A larger list fails the refresh; nothing is loaded. */
  maxResponseBytes?: number;
  maxInFlight?: number;
  backoffBase?: number;
  backoffCap?: number;
  /** Consecutive connection failures before the client is offline and only probes. */
  offlineAfter?: number;
  refreshInterval?: number;
}

/** Where an entry stands, from WishlistClient.status(). */
export interface Status {
  readonly state: 'synced' | 'pending' | 'sending' | 'confirming' | 'uncertain';
  /** Whether the store shows it. */
  readonly wished: boolean;
  /** How often its newest change's request was handed out. */
  readonly attempts: number;
  /** When a pending change is next tried, or null for "as soon as it can". */
  readonly nextAttemptAt: Date | null;
  /** Why its last try did not go through ("HTTP 503", "no complete answer within 10000 ms"), or "". */
  readonly lastError: string;
}

/** What one pass did. */
export interface SyncSummary {
  readonly sent: number;
  readonly accepted: number;
  readonly rejected: number;
  readonly failed: number;
  readonly unknown: number;
  readonly refreshed: boolean;
  readonly nextPassAt: Date | null;
}

export interface ChangeEvent {
  readonly kind: Kind;
  readonly itemId: string;
  /** Whether the store shows it now. */
  readonly wished: boolean;
  readonly cause: 'user' | 'rejected' | 'refresh';
}

export interface RejectedEvent {
  readonly kind: Kind;
  readonly itemId: string;
  /** The intent the service refused. */
  readonly wished: boolean;
  readonly status: number | null;
  readonly reason: string;
  readonly storeChange: StoreChange;
}

/**
 * A wishlist kept in a folder and synced with the service by itself: HTTP,
 * saving, retries with backoff, events. It belongs to the thread that made it.
 */
export class WishlistClient {
  /** Opens stateDir (creating it) and takes its lock. Throws StateError when it is in use or damaged. */
  constructor(baseUrl: string, stateDir: string, options?: ClientOptions);
  /** Shows and saves the change before it returns; its status. */
  setWished(kind: Kind, itemId: Text, wished: boolean, title?: Text | null, artist?: Text | null): Status;
  wished(kind: Kind, itemId: Text): boolean;
  status(kind: Kind, itemId: Text): Status;
  entries(): Entry[];
  readonly size: number;
  readonly state: ClientStateName;
  /** Why the last refresh failed, or "". */
  readonly lastRefreshError: string;
  /** One pass: sends what can go now, waits for the answers, refreshes once. No request starts after `deadline`. */
  syncNow(deadline?: Date | number): Promise<SyncSummary>;
  /** Background passes after each change, on the backoff timer and every refreshInterval. */
  start(): void;
  stop(): Promise<void>;
  /** Cancels requests under way (reported unknown), waits for the pass, saves, releases the folder. */
  close(): Promise<void>;
  onChange(listener: (event: ChangeEvent) => void): () => void;
  onRejected(listener: (event: RejectedEvent) => void): () => void;
  onState(listener: (state: ClientStateName) => void): () => void;
}
export interface WishlistClient extends AsyncDisposable {}
