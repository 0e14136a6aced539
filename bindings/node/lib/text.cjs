// SPDX-License-Identifier: MIT
'use strict';
// Texts into the library: strings are encoded as UTF-8, byte arrays passed as
// they are, each as a NUL-terminated Buffer (or, for a response, its exact bytes).

const { isUtf8 } = require('node:buffer');

// A lone surrogate has no UTF-8 form; Buffer.from would silently turn it into
// U+FFFD, so it is refused instead (String.isWellFormed needs Node 20).
const LONE_SURROGATE = /\p{Surrogate}/u;

/** A NUL-terminated Buffer for a text argument; null and undefined stay absent where allowed. */
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

/** True when a text() result (or null) is valid UTF-8. */
function isUtf8Text(terminated) {
  return terminated === null || isUtf8(terminated.subarray(0, terminated.length - 1));
}

/** The bytes of a response (a list response, a saved store or journal), viewed without a copy where possible. */
function responseBytes(response, name = 'response') {
  if (typeof response === 'string') {
    if (LONE_SURROGATE.test(response)) throw new TypeError(`${name} holds a lone surrogate: it has no UTF-8 form`);
    return Buffer.from(response, 'utf8');
  }
  if (response instanceof ArrayBuffer) return new Uint8Array(response);
  if (ArrayBuffer.isView(response)) return new Uint8Array(response.buffer, response.byteOffset, response.byteLength);
  throw new TypeError(`${name} must be a string, an ArrayBuffer or a typed array, not ${typeof response}`);
}

const EMPTY_TEXT = new Uint8Array([0]);

/**
 * The (pointer, length) pair of a response for a function whose length 0
 * means "up to the first NUL": an empty response is passed as a text that
 * ends at once, so it fails as empty JSON.
 */
function sized(bytes) {
  return [bytes.length > 0 ? bytes : EMPTY_TEXT, bytes.length];
}

module.exports = { isUtf8Text, responseBytes, sized, text };
