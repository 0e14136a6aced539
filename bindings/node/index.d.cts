// Type declarations of the orvel package's CommonJS entry (require('orvel'));
// index.d.mts gives the ES module entry the same names and its default export.

// Where the TypeScript library knows Symbol.dispose (esnext), Disposable brings
// Wishlist's [Symbol.dispose]() and `using`; elsewhere this empty interface
// stands in, so the declarations type-check with any "lib" setting.
declare global {
  interface Disposable {}
}

/** A text argument: a string (encoded as UTF-8) or bytes passed unchanged. No NUL characters. */
export type Text = string | Uint8Array;

/** A list response, passed with its exact length. */
export type Response = string | ArrayBuffer | ArrayBufferView;

export type Kind = 'track' | 'album' | 'artist' | 'playlist';

/** The interface version this package needs (1). */
export const ABI_VERSION: 1;
/** The four kinds of entry, exactly as the library spells them. */
export const KINDS: readonly Kind[];

/** A library call failed. */
export class OrvelError extends Error {
  /** The library's own error text ("invalid kind", "empty item_id", "null arg", "invalid json"), or "". */
  readonly reason: string;
}

/** liborvel could not be loaded. */
export class LibraryNotFoundError extends OrvelError {
  /** Each place that was tried, and why it failed. */
  readonly tried: ReadonlyArray<{ place: string; why: string }>;
}

/**
 * Loads liborvel now instead of at first use. `libraryPath`, then $ORVEL_LIBRARY,
 * are used alone when given; otherwise the folder recorded by cmake --install, the
 * package folder and the loader path are tried. Throws LibraryNotFoundError.
 */
export function loadLibrary(libraryPath?: string | null): void;

/** The library's version text, such as "1.0.0". */
export function version(): string;
/** The library's interface version. */
export function abiVersion(): number;
/** True when kind is one of KINDS, exactly. */
export function validateKind(kind: Text): boolean;
/** 0 when the built-in self-test passes, else the first failing step (1 to 6). */
export function selftest(): number;

/** The URL that lists the user's wishes; null, undefined or "" select the default base. */
export function buildMineUrl(baseUrl?: Text | null): string;

/** The arguments of both request builders. */
export type WishRequestArgs = [
  add: boolean,
  kind: Text,
  itemId: Text,
  title?: Text | null,
  artist?: Text | null,
  baseUrl?: Text | null,
];

/**
 * The JSON envelope of the POST that adds or removes one wish, as the library wrote it.
 * Throws OrvelError with reason "invalid kind" or "empty item_id" when a check fails,
 * and with reason "" when a text is not valid UTF-8 or memory runs out.
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

export interface Entry {
  kind: Kind;
  itemId: string;
  title: string;
  artist: string;
}

export interface ExportDocument {
  total: number;
  items: Entry[];
}

/** One user's wishlist store. Not shared between threads; close() (or `using`) when done. */
export class Wishlist {
  constructor();
  /** Releases the store; harmless when already closed. A forgotten store is released on collection. */
  close(): void;
  /** True once close() has run; any other use then throws OrvelError. */
  readonly closed: boolean;
  /** Replaces the content with a list response; returns the entry count. Throws OrvelError("... invalid json"). */
  load(response: Response): number;
  /** Adds the entry (true) or removes it (false). Throws OrvelError, the store unchanged, on failure. */
  toggle(kind: Text, itemId: Text, title?: Text | null, artist?: Text | null): boolean;
  /** True when the entry is in the wishlist. */
  has(kind: Text, itemId: Text): boolean;
  /** The number of entries. */
  readonly size: number;
  /** The whole wishlist as the library's JSON text. */
  exportJson(): string;
  /** The whole wishlist parsed into an object. */
  export(): ExportDocument;
}

/** [Symbol.dispose]() closes the wishlist, where the runtime and the TypeScript library know it. */
export interface Wishlist extends Disposable {}
