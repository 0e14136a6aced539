// SPDX-License-Identifier: MIT
'use strict';
// The client's HTTP, on the built-in fetch: one deadline for the whole
// exchange (connect to last byte), a cap on a list's size, redirects followed
// within the request's origin only, and each answer turned into what the
// journal must be told. Reasons never carry a header's value: tokens stay out
// of every message.

const { Outcome } = require('../synced.cjs');
const { retryAfterMs } = require('./backoff.cjs');

const MAX_REDIRECTS = 5;
const REDIRECTS = new Set([301, 302, 303, 307, 308]);
// Error codes of a connection that was never made: the request did not leave.
const NOT_CONNECTED = new Set([
  'ECONNREFUSED', 'ENOTFOUND', 'EAI_AGAIN', 'EAI_NONAME', 'EAI_FAIL', 'ENETUNREACH', 'EHOSTUNREACH',
  'EADDRNOTAVAIL', 'UND_ERR_CONNECT_TIMEOUT',
]);

/** The outcome of an answer's status: 2xx accepted; 408, 429, 5xx failed; other 4xx rejected. */
function outcomeOfStatus(status) {
  if (status >= 200 && status < 300) return Outcome.Accepted;
  if (status >= 400 && status < 500 && status !== 408 && status !== 429) return Outcome.Rejected;
  return Outcome.Failed; // 408, 429, 5xx, and a redirect that was not followed
}

// One exchange's deadline, and the client's own abort (on close) joined to it.
class Deadline {
  constructor(timeoutMs, outer) {
    this.timeoutMs = timeoutMs;
    this.controller = new AbortController();
    this.expired = false;
    this.timer = setTimeout(() => {
      this.expired = true;
      this.controller.abort();
    }, timeoutMs);
    this.outer = outer;
    this.onOuter = () => this.controller.abort();
    if (outer) {
      if (outer.aborted) this.controller.abort();
      else outer.addEventListener('abort', this.onOuter, { once: true });
    }
  }

  get signal() {
    return this.controller.signal;
  }

  end() {
    clearTimeout(this.timer);
    if (this.outer) this.outer.removeEventListener('abort', this.onOuter);
  }

  // What a failed fetch or body read means: [outcome, reason, connectionFailed].
  failure(error) {
    if (this.expired) return [Outcome.Unknown, `no complete answer within ${this.timeoutMs} ms`, false];
    if (this.outer?.aborted) return [Outcome.Unknown, 'the client closed while the request was under way', false];
    const code = error?.cause?.code ?? error?.code;
    if (NOT_CONNECTED.has(code)) return [Outcome.Failed, `cannot connect (${code})`, true];
    return [Outcome.Unknown, `the connection broke (${code ?? error?.name ?? 'unknown error'})`, false];
  }
}

// The headers of one request: the provider's (called now, for a token that
// changes), then the request's own. A provider that fails sends nothing.
async function headersFor(provider, own) {
  if (!provider) return own;
  const given = await provider();
  const headers = new Headers(given ?? undefined);
  for (const [name, value] of Object.entries(own)) headers.set(name, value);
  return headers;
}

// Drops a body we do not need: read to its end when short (so that the
// connection can serve the next request), cancelled past `limit` bytes.
async function discard(response, limit = 0) {
  try {
    let total = 0;
    if (response.body) {
      for await (const chunk of response.body) {
        total += chunk.byteLength;
        if (total > limit) break;
      }
    }
  } catch {
    // The answer is known already; how its body ends changes nothing.
  }
}

// fetch, following redirects only within the first URL's origin (and, for a
// POST, only those that keep the method and body: 307 and 308).
// { response } or { reason } when a redirect is refused.
async function fetchInOrigin(url, init) {
  const origin = new URL(url).origin;
  let current = url;
  for (let hops = 0; ; hops += 1) {
    const response = await fetch(current, { ...init, redirect: 'manual' });
    if (!REDIRECTS.has(response.status)) return { response };
    await discard(response);
    const location = response.headers.get('location');
    let target = null;
    try {
      target = location === null ? null : new URL(location, current);
    } catch {
      // reported below
    }
    if (target === null) return { reason: `a redirect (HTTP ${response.status}) without a usable Location`, status: response.status };
    if (target.origin !== origin) {
      return { reason: `a redirect to another origin (${target.origin}) refused`, status: response.status };
    }
    if (init.method === 'POST' && response.status !== 307 && response.status !== 308) {
      return { reason: `a redirect (HTTP ${response.status}) that would drop the request's body refused`, status: response.status };
    }
    if (hops === MAX_REDIRECTS) return { reason: `more than ${MAX_REDIRECTS} redirects`, status: response.status };
    current = target.href;
  }
}

/**
 * Sends one change request (a nextRequest() envelope) with its Idempotency-Key.
 * { outcome, status (null without an answer), reason, retryAfterMs, connectionFailed }.
 */
async function sendChange(request, { key, timeoutMs, headers, signal, now = Date.now }) {
  const deadline = new Deadline(timeoutMs, signal);
  try {
    let all;
    try {
      all = await headersFor(headers, { 'content-type': request.contentType, 'idempotency-key': key });
    } catch {
      return { outcome: Outcome.Failed, status: null, reason: 'the headers provider failed', retryAfterMs: null, connectionFailed: false };
    }
    let found;
    try {
      found = await fetchInOrigin(request.url, { method: request.method, headers: all, body: request.body, signal: deadline.signal });
    } catch (error) {
      const [outcome, reason, connectionFailed] = deadline.failure(error);
      return { outcome, status: null, reason, retryAfterMs: null, connectionFailed };
    }
    if (found.reason) return { outcome: Outcome.Failed, status: found.status, reason: found.reason, retryAfterMs: null, connectionFailed: false };
    const { response } = found;
    await discard(response, 64 * 1024);
    const outcome = outcomeOfStatus(response.status);
    const wait = response.status === 429 || response.status === 503 ? retryAfterMs(response.headers.get('retry-after'), now()) : null;
    const reason = outcome === Outcome.Accepted ? '' : `HTTP ${response.status}`;
    return { outcome, status: response.status, reason, retryAfterMs: wait, connectionFailed: false };
  } finally {
    deadline.end();
  }
}

/**
 * Fetches the list. { bytes } on a 2xx answer within the deadline and the
 * cap, else { bytes: null, status, reason, retryAfterMs, connectionFailed }.
 */
async function fetchList(url, { timeoutMs, maxBytes, headers, signal, now = Date.now }) {
  const deadline = new Deadline(timeoutMs, signal);
  const failed = (reason, status = null, extra = {}) => ({ bytes: null, status, reason, retryAfterMs: null, connectionFailed: false, ...extra });
  try {
    let all;
    try {
      all = await headersFor(headers, { accept: 'application/json' });
    } catch {
      return failed('the headers provider failed');
    }
    let found;
    try {
      found = await fetchInOrigin(url, { method: 'GET', headers: all, signal: deadline.signal });
    } catch (error) {
      const [, reason, connectionFailed] = deadline.failure(error);
      return failed(reason, null, { connectionFailed });
    }
    if (found.reason) return failed(found.reason, found.status);
    const { response } = found;
    if (response.status < 200 || response.status >= 300) {
      await discard(response);
      const wait = response.status === 429 || response.status === 503 ? retryAfterMs(response.headers.get('retry-after'), now()) : null;
      return failed(`HTTP ${response.status}`, response.status, { retryAfterMs: wait });
    }
    const tooLarge = `the list is larger than ${maxBytes} bytes`;
    const declared = Number(response.headers.get('content-length'));
    if (Number.isFinite(declared) && declared > maxBytes) {
      await discard(response);
      return failed(tooLarge, response.status);
    }
    const chunks = [];
    let total = 0;
    try {
      if (response.body) {
        for await (const chunk of response.body) {
          total += chunk.byteLength;
          if (total > maxBytes) return failed(tooLarge, response.status); // leaving the loop cancels the body
          chunks.push(chunk);
        }
      }
    } catch (error) {
      return failed(deadline.failure(error)[1], response.status);
    }
    return { bytes: Buffer.concat(chunks, total), status: response.status, reason: '', retryAfterMs: null, connectionFailed: false };
  } finally {
    deadline.end();
  }
}

module.exports = { fetchList, outcomeOfStatus, sendChange };
