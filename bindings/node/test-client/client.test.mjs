// SPDX-License-Identifier: MIT
// The client's parts and behaviours: answers to outcomes, Retry-After and the
// backoff, options, a request held back and replaced, events after the call,
// close() during a request, saves shared by many requests, and the background
// client offline and idle.
import assert from 'node:assert/strict';
import * as fs from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { after, test } from 'node:test';

import { DEFAULTS, Outcome, SyncedWishlist, WishlistClient } from '../index.mjs';
import { closedPort, scratch, sleep, startService } from './service.mjs';

const require = createRequire(import.meta.url);
const { backoffDelay, retryAfterMs } = require('../lib/client/backoff.cjs');
const { sendChange } = require('../lib/client/transport.cjs');
const { FILE_OPS } = require('../lib/client/client.cjs');

const service = await startService({ maxSeconds: 100 });
after(() => service.stop());

function folder() {
  const made = scratch();
  after(made.remove);
  return made.dir;
}

// A request for one entry, as the journal hands it out.
function requestFor(itemId, baseUrl = service.baseUrl) {
  const wishes = new SyncedWishlist();
  wishes.setWished('track', itemId, true, 'T', 'A');
  const request = wishes.nextRequest(baseUrl);
  wishes.close();
  return request;
}

test('each answer becomes the outcome the journal must be told', async () => {
  // [fault on the request, outcome, HTTP status (null: no answer)]
  const cases = [
    [null, Outcome.Accepted, 204],
    [{ action: 'reject', status: 404 }, Outcome.Rejected, 404],
    [{ action: 'reject', status: 422 }, Outcome.Rejected, 422],
    [{ action: 'reject', status: 408 }, Outcome.Failed, 408],
    [{ action: 'throttle' }, Outcome.Failed, 429],
    [{ action: 'error', status: 502 }, Outcome.Failed, 502],
    [{ action: 'fail-after-apply' }, Outcome.Failed, 500],
    [{ action: 'drop' }, Outcome.Unknown, null],
    [{ action: 'late', seconds: 2 }, Outcome.Unknown, null],
    [{ action: 'redirect' }, Outcome.Failed, 307],
  ];
  for (const [n, [fault, outcome, status]] of cases.entries()) {
    const itemId = `tr-case-${n}`;
    await service.control({ faults: fault ? [{ ...fault, itemId }] : [] });
    const result = await sendChange(requestFor(itemId), { key: `k-${n}`, timeoutMs: 800 });
    assert.deepEqual([result.outcome, result.status], [outcome, status], JSON.stringify(fault));
    assert.equal(result.connectionFailed, false);
  }
  const refused = await sendChange(requestFor('x', `http://127.0.0.1:${await closedPort()}`), { key: 'k', timeoutMs: 5000 });
  assert.deepEqual([refused.outcome, refused.connectionFailed, refused.reason], [Outcome.Failed, true, 'cannot connect (ECONNREFUSED)']);
});

test('Retry-After in seconds or as a date, and the backoff within its bounds', () => {
  const now = Date.parse('2026-01-01T00:00:00Z');
  const cases = [
    ['3', 3000], [' 0 ', 0], ['Thu, 01 Jan 2026 00:00:30 GMT', 30000], ['Wed, 31 Dec 2025 23:00:00 GMT', 0],
    ['soon', null], ['-1', null], ['1.5', null], [null, null], ['2026-01-01T00:00:30Z', null],
  ];
  for (const [value, ms] of cases) assert.equal(retryAfterMs(value, now), ms, String(value));
  // [attempts, base, cap, random] -> delay
  const delays = [[0, 1000, 300000, 0.999, 999], [3, 1000, 300000, 0.5, 4000], [20, 1000, 300000, 0.5, 150000], [2000, 1000, 300000, 0.999, 299700], [5, 1000, 300000, 0, 0]];
  for (const [attempts, base, cap, r, delay] of delays) assert.equal(backoffDelay(attempts, base, cap, () => r), delay);
});

test('options are checked (the defaults are checked against the shared table by check_facts.py)', () => {
  assert.ok(Object.isFrozen(DEFAULTS));
  const dir = folder();
  const cases = [
    [['ftp://x', dir], /http: or https:/],
    [['not a url', dir], /not a URL/],
    [['https://user:pw@x.example', dir], /credentials/],
    [[service.baseUrl, dir, { maxInFlight: 0 }], /maxInFlight must be a positive integer/],
    [[service.baseUrl, dir, { requestTimeout: Infinity }], /requestTimeout/],
    [[service.baseUrl, dir, { retries: 3 }], /unknown option retries/],
    [[service.baseUrl, dir, { headers: 'Bearer x' }], /headers must be a function/],
    [[service.baseUrl, ''], /stateDir/],
  ];
  for (const [args, message] of cases) assert.throws(() => new WishlistClient(...args), message);
});

test('a request held back for its Retry-After is not sent, and a newer intent replaces it', async () => {
  const client = new WishlistClient(service.baseUrl, folder(), { backoffBase: 10, backoffCap: 50 });
  try {
    await service.control({ faults: [{ action: 'throttle', itemId: 'tr-wait', retryAfter: 60 }] });
    client.setWished('track', 'tr-wait', true, 'T', 'A');
    client.setWished('track', 'tr-other', true, 'T', 'A');
    let summary = await client.syncNow();
    assert.deepEqual([summary.accepted, summary.failed], [1, 1]);
    const seen = (await service.state()).requests.length;
    summary = await client.syncNow(); // hands it out, and holds it: no request
    const status = client.status('track', 'tr-wait');
    assert.equal(status.state, 'pending');
    assert.ok(status.nextAttemptAt.getTime() > Date.now() + 50_000, String(status.nextAttemptAt));
    assert.equal(summary.nextPassAt.getTime(), status.nextAttemptAt.getTime());
    assert.equal((await service.state()).requests.filter((r) => r.wish).length, seen - 1);
    client.setWished('track', 'tr-wait', false); // the held add never left: it gives way
    summary = await client.syncNow();
    const posts = (await service.state()).requests.filter((r) => r.wish?.itemId === 'tr-wait');
    assert.deepEqual(posts.map((r) => [r.wish.op, r.status]), [['add', 429], ['remove', 204]]);
    assert.equal(client.status('track', 'tr-wait').state, 'synced');
  } finally {
    await client.close();
  }
});

test('events come after the call that caused them, outside it', async () => {
  await service.control({ entries: [] });
  const client = new WishlistClient(service.baseUrl, folder());
  const events = [];
  const stop = client.onChange((e) => events.push(`${e.cause} ${e.itemId} ${e.wished}`));
  client.onState((s) => events.push(s));
  client.setWished('album', 'al-ev', true);
  assert.deepEqual(events, []);
  await new Promise(setImmediate);
  assert.deepEqual(events, ['user al-ev true']);
  await client.syncNow();
  await service.control({ entries: [{ kind: 'playlist', itemId: 'pl-elsewhere', title: '', artist: '' }] });
  await client.syncNow(); // the list shows one more, and one fewer
  await new Promise(setImmediate);
  stop();
  await client.syncNow();
  await client.close();
  await new Promise(setImmediate);
  assert.deepEqual(events, ['user al-ev true', 'syncing', 'idle', 'syncing', 'refresh pl-elsewhere true', 'refresh al-ev false', 'idle', 'syncing', 'idle', 'closed']);
});

test('close() during a request waits for it, reports it unknown, and saves', async () => {
  const dir = folder();
  await service.control({ faults: [{ action: 'hold', itemId: 'tr-held', seconds: 20 }] });
  const client = new WishlistClient(service.baseUrl, dir);
  client.setWished('track', 'tr-held', true);
  const pass = client.syncNow();
  await sleep(300);
  await client.close();
  assert.deepEqual([(await pass).unknown, client.state], [1, 'closed']);
  assert.throws(() => client.setWished('track', 'x', true), /closed/);
  await assert.rejects(client.close().then(() => client.syncNow()), /closed/);
  const again = new WishlistClient(service.baseUrl, dir);
  assert.equal(again.status('track', 'tr-held').state, 'pending');
  await again.close();
});

test('a crash while a request is on the wire loses no later tap', async () => {
  const dir = folder();
  const killed = folder(); // what a SIGKILL would have left of dir while the request was out
  await service.control({ faults: [{ action: 'hold', itemId: 'tr-crash', seconds: 20 }] });
  const a = new WishlistClient(service.baseUrl, dir, { requestTimeout: 2000 });
  a.setWished('track', 'tr-crash', true);
  const pass = a.syncNow();
  const held = (state) => state.requests.some((r) => r.wish?.itemId === 'tr-crash' && r.fault === 'hold');
  for (let waited = 0; !held(await service.state()); waited += 20) {
    assert.ok(waited < 5000, 'the request reached the service');
    await sleep(20);
  }
  for (const name of ['wishlist.snapshot', 'installation-id']) fs.copyFileSync(join(dir, name), join(killed, name));
  assert.equal((await pass).unknown, 1);
  await a.close();
  const served = async () => (await service.state()).entries.some((e) => e.itemId === 'tr-crash');
  for (let waited = 0; !(await served()); waited += 20) {
    assert.ok(waited < 5000, 'the held add is applied once its connection closes');
    await sleep(20);
  }
  // After the restart the user takes it back: that must win over the add that landed.
  const b = new WishlistClient(service.baseUrl, killed);
  try {
    b.setWished('track', 'tr-crash', false);
    await b.syncNow();
    await b.syncNow();
    assert.equal(await served(), false);
    assert.equal(b.wished('track', 'tr-crash'), false);
    // Nothing held: the old add stays in mind only as one that may still land.
    assert.ok(['synced', 'uncertain'].includes(b.status('track', 'tr-crash').state), b.status('track', 'tr-crash').state);
  } finally {
    await b.close();
  }
});

test('a pass of 100 changes saves a few times, not once a request or an answer', async () => {
  let saves = 0;
  const ops = {
    ...fs,
    renameSync(from, to) {
      if (to.endsWith('wishlist.snapshot')) saves += 1;
      return fs.renameSync(from, to);
    },
  };
  const client = new WishlistClient(service.baseUrl, folder(), { [FILE_OPS]: ops });
  try {
    for (let n = 0; n < 100; n += 1) client.setWished('track', `tr-many-${n}`, true);
    saves = 0;
    const summary = await client.syncNow();
    assert.deepEqual([summary.sent, summary.accepted, summary.refreshed], [100, 100, true]);
    assert.ok(saves > 1 && saves < 10, `${saves} saves`);
  } finally {
    await client.close();
  }
});

test('a background client goes offline after failed connections, then probes once per backoffCap', async () => {
  let calls = 0;
  const client = new WishlistClient(`http://127.0.0.1:${await closedPort()}`, folder(), {
    offlineAfter: 3, backoffBase: 1, backoffCap: 1000, headers: () => { calls += 1; return {}; },
  });
  try {
    const offline = new Promise((resolve) => client.onState((s) => s === 'offline' && resolve()));
    for (const id of ['a', 'b', 'c', 'd', 'e']) client.setWished('track', id, true);
    client.start();
    await offline;
    const atOffline = calls;
    assert.ok(atOffline >= 3);
    await sleep(2500);
    assert.ok(calls - atOffline <= 3, `${calls - atOffline} probes in 2.5 s`);
    for (let waited = 0; calls === atOffline && waited < 10_000; waited += 100) await sleep(100);
    assert.ok(calls > atOffline, 'it probes again');
    // Refused connections never left: failed, not unknown.
    assert.equal(client.status('track', 'a').state, 'pending');
  } finally {
    await client.close();
  }
});

test('a background client with nothing to do sends nothing after its first refresh', async () => {
  const client = new WishlistClient(service.baseUrl, folder(), { backoffBase: 10, backoffCap: 100 });
  try {
    const idle = new Promise((resolve) => client.onState((s) => s === 'idle' && resolve()));
    const before = (await service.state()).requests.length;
    client.start();
    await idle;
    await sleep(1200);
    const requests = (await service.state()).requests.slice(before);
    assert.deepEqual(requests.map((r) => r.path), ['/wishlist/api/mine']);
    client.setWished('album', 'al-bg', true); // a change wakes it
    for (let waited = 0; client.status('album', 'al-bg').state !== 'synced' && waited < 10_000; waited += 50) await sleep(50);
    assert.equal(client.status('album', 'al-bg').state, 'synced');
  } finally {
    await client.stop();
    await client.close();
  }
});

test('no more than maxInFlight requests are on the wire at once', async () => {
  const ids = ['h0', 'h1', 'h2', 'h3', 'h4', 'h5'];
  await service.control({ faults: ids.map((itemId) => ({ action: 'hold', itemId, seconds: 20 })) });
  const client = new WishlistClient(service.baseUrl, folder(), { requestTimeout: 1500, maxInFlight: 4 });
  try {
    for (const id of ids) client.setWished('track', id, true);
    const seen = (await service.state()).requests.length;
    const summary = await client.syncNow();
    const posts = (await service.state()).requests.slice(seen).filter((r) => r.wish);
    // heldOpen: how many held requests' clients still had their connection open when this one arrived.
    assert.ok(posts.every((r) => r.heldOpen <= 3), JSON.stringify(posts.map((r) => r.heldOpen)));
    assert.ok(posts.filter((r) => r.fault === 'hold').length === 6 && summary.unknown === 6, JSON.stringify(summary));
  } finally {
    await client.close();
  }
});
