// Type declarations of the orvel package's CommonJS entry (require('orvel'));
// index.d.mts gives the ES module entry the same names and its default export.

// Where the TypeScript library knows Symbol.dispose (esnext), Disposable brings
// [Symbol.dispose]() and `using`; elsewhere this empty interface stands in, so
// the declarations type-check with any "lib" setting.
declare global {
  interface Disposable {}
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

/**
 * The places liborvel is looked for, in order: the path given to loadLibrary,
 * $ORVEL_LIBRARY, the folder recorded at installation, the package folder,
 * the checkout's build, the loader path.
 */
export const SEARCH_ORDER: readonly [
  'argument',
  'environment',
  'recorded',
  'package',
  'checkout',
  'loader',
];
/** The file names of the library on this platform, most specific first. */
export const LIBRARY_FILES: { readonly core: readonly string[] };

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
  /** Why this call failed: one of REASONS, or "". */
  readonly reason: string;
}

/** liborvel could not be loaded. */
export class LibraryNotFoundError extends OrvelError {
  /** Which library. */
  readonly library: 'liborvel';
  /** Each place that was tried, and why it failed. */
  readonly tried: ReadonlyArray<{ place: string; why: string }>;
}

/**
 * Loads liborvel now instead of at first use. `libraryPath`, then $ORVEL_LIBRARY,
 * are used alone when given; otherwise the places of SEARCH_ORDER are tried.
 * Throws LibraryNotFoundError.
 */
export function loadLibrary(libraryPath?: string | null): void;

/** liborvel's version text, such as "1.0.0". */
export function version(): string;
/** liborvel's interface version. */
export function abiVersion(): number;
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
 * Read access to a store, as Wishlist gives it. Not shared
 * between threads. close() (or `using`) when done; a forgotten one is released
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

