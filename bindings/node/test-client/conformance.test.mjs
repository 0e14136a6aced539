// SPDX-License-Identifier: MIT
// The client against the shared sample service, each fault ordered through its
// control endpoint, with restarts from the saved state in the middle: every
// entry but a poison one converges, the user's last intent wins everywhere the
// service accepts it, and no fault holds back another entry.
import assert from 'node:assert/strict';
import { after, test } from 'node:test';

import { WishlistClient } from '../index.mjs';
import { keys, scratch, sleep, startService } from './service.mjs';

const TOKEN = 'Bearer s3cret-token';
const fast = { backoffBase: 20, backoffCap: 250 }; // retries soon; request deadlines stay generous

const service = await startService({ maxSeconds: 150 });
after(() => service.stop());
const folder = scratch();
after(folder.remove);

let calls = 0;
const open = (options = {}) =>
  new WishlistClient(service.baseUrl, folder.dir, {
    ...fast,
    headers: () => ({ authorization: TOKEN, 'x-call': String(++calls) }),
    ...options,
  });

// The user's intents, as the test records them: item -> wished.
const intents = new Map();
const tap = (client, itemId, wished, kind = 'track') => {
  intents.set(`${kind}/${itemId}`, wished);
  return client.setWished(kind, itemId, wished, `T ${itemId}`, 'A');
};
const POISON = 'track/tr-poison';
const REFUSED = 'track/tr-refused';

// Passes until every intent but the poison one is synced, or `passes` have run.
async function converge(client, passes = 60) {
  for (let n = 0; n < passes; n += 1) {
    const summary = await client.syncNow();
    const open = [...intents.keys()].filter((k) => k !== POISON && !['synced', 'uncertain'].includes(client.status(...k.split('/')).state));
    if (open.length === 0 && summary.refreshed) return summary;
    await sleep(Math.min(1200, Math.max(10, (summary.nextPassAt?.getTime() ?? 0) - Date.now())));
  }
  assert.fail('the client did not converge');
}

const requestsFor = (state, itemId) => state.requests.filter((r) => r.wish?.itemId === itemId);
const keyOf = (request) => request.headers['idempotency-key'] ?? request.headers['Idempotency-Key'];

test('faults on the wire, restarts in between: every entry but the poison one converges', async (t) => {
  // ---- before the first restart: dropped, applied-then-failed, refused, poison, throttled
  await service.control({
    faults: [
      { action: 'drop', itemId: 'tr-drop' },
      { action: 'fail-after-apply', itemId: 'tr-apply' },
      { action: 'reject', itemId: 'tr-refused', times: null },
      { action: 'error', status: 500, itemId: 'tr-poison', times: null },
      { action: 'throttle', itemId: 'tr-slow', retryAfter: 1 },
    ],
  });
  let client = open();
  const rejected = [];
  client.onRejected((event) => rejected.push(event));
  for (const id of ['tr-poison', 'tr-drop', 'tr-apply', 'tr-refused', 'tr-slow', 'al-plain']) {
    assert.equal(tap(client, id, true, id.startsWith('al') ? 'album' : 'track').state, 'pending');
  }
  intents.set(REFUSED, false); // refused for good: undone
  await converge(client);
  let state = await service.state();

  await t.test('a dropped request is unknown and sent again; an applied one answered 500 is replayed by its key', () => {
    const dropped = requestsFor(state, 'tr-drop');
    assert.deepEqual(dropped.map((r) => r.status), [null, 204]);
    const applied = requestsFor(state, 'tr-apply');
    assert.deepEqual(applied.map((r) => [r.status, r.replayed]), [[500, false], [204, true]]);
    assert.equal(keyOf(applied[0]), keyOf(applied[1]));
    assert.equal(keyOf(dropped[0]), keyOf(dropped[1]));
    assert.match(keyOf(applied[0]), /^[0-9a-f-]{36}\.\d+$/);
    const distinct = new Set(state.requests.filter((r) => r.wish).map((r) => `${r.wish.itemId} ${keyOf(r)}`));
    assert.equal(new Set([...distinct].map((d) => d.split(' ')[1])).size, distinct.size, 'one key per operation');
  });
  await t.test("a 429's Retry-After is waited out", () => {
    const [first, second] = requestsFor(state, 'tr-slow');
    assert.equal(first.status, 429);
    assert.ok(second.time - first.time >= 0.95, `sent again after ${second.time - first.time} s`);
  });
  await t.test('a refused item is undone and reported', () => {
    assert.equal(client.wished('track', 'tr-refused'), false);
    assert.deepEqual(rejected.map((e) => [e.itemId, e.status, e.wished]), [['tr-refused', 422, true]]);
  });
  await t.test('the headers provider is asked before each request, and the token shows in no message', () => {
    const called = state.requests.map((r) => Number(r.headers['x-call']));
    assert.equal(new Set(called).size, called.length, 'one call for each request');
    assert.ok(state.requests.every((r) => !JSON.stringify(r.headers).includes('s3cret')));
    for (const k of intents.keys()) assert.ok(!client.status(...k.split('/')).lastError.includes('s3cret'));
  });
  await t.test('the poison item never holds back another', async () => {
    assert.equal(client.status('track', 'tr-poison').state, 'pending');
    assert.equal(client.status('track', 'tr-poison').lastError, 'HTTP 500');
    tap(client, 'ar-after', true, 'artist');
    const summary = await client.syncNow();
    assert.ok(summary.accepted >= 1);
    assert.equal(client.status('artist', 'ar-after').state, 'synced');
  });
  const before = keys(client.entries());
  await client.close();

  // ---- a restart, with 1.5 s deadlines for the late cases
  client = open({ requestTimeout: 1500, listTimeout: 1500 });
  assert.deepEqual(keys(client.entries()), before);
  assert.equal(client.status('track', 'tr-poison').state, 'pending');
  await service.control({
    faults: [
      { action: 'late', itemId: 'al-late', seconds: 3 },
      { action: 'hold', itemId: 'al-hold', seconds: 20 },
      { action: 'trickle', itemId: 'pl-trickle', interval: 0.1 },
      { action: 'error', status: 500, itemId: 'tr-poison', times: null },
      { action: 'reject', itemId: 'tr-refused', times: null },
    ],
  });
  tap(client, 'al-late', true, 'album');
  tap(client, 'al-hold', true, 'album');
  tap(client, 'pl-trickle', true, 'playlist');
  const seen = (await service.state()).requests.length;
  let summary = await client.syncNow();
  await t.test('answers past the deadline (late, held, trickled) are unknown, never failed', async () => {
    const pass = (await service.state()).requests.slice(seen);
    assert.equal(summary.unknown, 3, JSON.stringify(summary));
    assert.equal(summary.failed, pass.filter((r) => r.wish?.itemId === 'tr-poison').length);
    // Each was applied by the service, whatever the client could tell.
    for (const id of ['al-late', 'pl-trickle']) assert.equal(requestsFor({ requests: pass }, id)[0].applied, true, id);
  });
  // The user changes their mind about two of them: the later change must win.
  tap(client, 'al-late', false, 'album');
  tap(client, 'al-hold', false, 'album');
  await service.control({ faults: [{ action: 'late', endpoint: 'mine', seconds: 3 }, { action: 'error', status: 500, itemId: 'tr-poison', times: null }] });
  summary = await client.syncNow();
  await t.test('a list answered past its deadline loads nothing', () => {
    assert.equal(summary.refreshed, false);
    assert.match(client.lastRefreshError, /within 1500 ms/);
  });
  await service.control({ faults: [{ action: 'error', status: 500, itemId: 'tr-poison', times: null }] });
  await converge(client);
  state = await service.state();
  assert.ok(requestsFor(state, 'al-hold').some((r) => r.applied && r.wish.op === 'add'), 'the held request was applied');
  await client.close();

  // ---- another restart: a list late within its deadline, too large, redirected
  client = open({ maxResponseBytes: 100_000 });
  await service.control({
    faults: [
      { action: 'late', endpoint: 'mine', seconds: 1 },
      { action: 'error', status: 500, itemId: 'tr-poison', times: null },
    ],
  });
  const during = client.syncNow();
  await sleep(300);
  tap(client, 'pl-during', true, 'playlist'); // while the list is under way
  summary = await during;
  assert.equal(summary.refreshed, true);
  assert.equal(client.wished('playlist', 'pl-during'), true, 'a list older than a change does not hide it');

  state = await service.state();
  await service.control({
    entries: [...state.entries, { kind: 'track', itemId: 'tr-elsewhere', title: 'x', artist: 'y' }],
    faults: [
      { action: 'oversize', endpoint: 'mine' },
      { action: 'redirect', itemId: 'tr-away', times: null },
      { action: 'redirect', itemId: 'tr-near', location: `${service.origin}/wishlist/api/wish` },
      { action: 'error', status: 500, itemId: 'tr-poison', times: null },
    ],
  });
  intents.set('track/tr-elsewhere', true);
  tap(client, 'tr-away', true);
  tap(client, 'tr-near', true);
  summary = await client.syncNow();
  await t.test('a list past the size cap loads nothing; a redirect elsewhere is refused, one to the same origin followed', () => {
    assert.equal(summary.refreshed, false);
    assert.match(client.lastRefreshError, /larger than 100000 bytes/);
    assert.equal(client.wished('track', 'tr-elsewhere'), false);
    assert.match(client.status('track', 'tr-away').lastError, /another origin \(http:\/\/127\.0\.0\.2:\d+\) refused/);
    assert.notEqual(client.status('track', 'tr-near').state, 'pending');
  });
  await service.control({ faults: [{ action: 'error', status: 500, itemId: 'tr-poison', times: null }] });
  await converge(client);
  await client.close();

  // ---- the end, as a last restart reads it
  client = open();
  try {
    state = await service.state();
    const served = keys(state.entries);
    assert.deepEqual(keys(client.entries()).filter((k) => k !== POISON), served);
    for (const [k, wished] of intents) {
      const [kind, id] = k.split('/');
      assert.equal(client.wished(kind, id), wished, k);
      if (k !== POISON) {
        assert.ok(['synced', 'uncertain'].includes(client.status(kind, id).state), k);
        assert.equal(served.includes(k), wished, k);
      }
    }
    assert.equal(client.status('track', 'tr-poison').state, 'pending');
    assert.equal(served.includes(POISON), false);
  } finally {
    await client.close();
  }
});
