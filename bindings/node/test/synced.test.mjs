// SPDX-License-Identifier: MIT
// Tests of SyncedWishlist against the built libraries ($ORVEL_LIBRARY,
// $ORVEL_SYNC_LIBRARY).
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';

import * as orvel from '../index.mjs';

const { Outcome, SyncedWishlist } = orvel;
const { snapshotBytes } = createRequire(import.meta.url)('../lib/synced.cjs');
const BASE = 'https://x.example//';
const LIST = '{"wishes":[{"kind":"album","itemId":"al-1","title":"T","artist":"A"}]}';

function withSynced(body) {
  const w = new SyncedWishlist();
  try {
    return body(w);
  } finally {
    w.close();
  }
}
const counts = (w) => ({ held: w.held, unsent: w.unsent, inFlight: w.inFlight, confirming: w.confirming });
const isReason = (reason) => (e) => e instanceof orvel.OrvelError && e.reason === reason;

test('a change goes out as the request builder writes it, and is confirmed by a later list', () =>
  withSynced((w) => {
    assert.equal(w.setWished('album', 'al-1', true, 'T', 'A'), 1);
    assert.equal(w.setWished('album', 'al-1', true, 'T', 'A'), 0);
    assert.ok(w.has('album', 'al-1'));
    const request = w.nextRequest(BASE);
    assert.equal(request.json, orvel.buildWishRequestJson(true, 'album', 'al-1', 'T', 'A', BASE));
    assert.deepEqual(request, {
      opId: 1, ...orvel.buildWishRequest(true, 'album', 'al-1', 'T', 'A', BASE), json: request.json,
      kind: 'album', itemId: 'al-1', wished: true,
    });
    assert.deepEqual(JSON.parse(JSON.stringify(request)), { ...request });
    assert.equal(w.nextRequest(BASE), null);
    assert.deepEqual(counts(w), { held: 1, unsent: 0, inFlight: 1, confirming: 0 });
    const early = w.beginRefresh();
    w.report(request.opId, Outcome.Accepted);
    // A list fetched before the report may not show the change: it stays shown.
    assert.equal(w.load(early, '[]'), 1);
    assert.equal(w.confirming, 1);
    const late = w.beginRefresh();
    assert.equal(w.load(late, LIST), 1);
    assert.deepEqual(counts(w), { held: 0, unsent: 0, inFlight: 0, confirming: 0 });
    assert.deepEqual([...w], [{ kind: 'album', itemId: 'al-1', title: 'T', artist: 'A' }]);
  }));

test('each outcome, and a stale list that changes nothing', () =>
  withSynced((w) => {
    w.setWished('track', 't1', true);
    w.setWished('track', 't2', true);
    const [a, b] = [w.nextRequest(), w.nextRequest()];
    w.report(a.opId, Outcome.Rejected);
    assert.equal(w.has('track', 't1'), false);
    w.report(b.opId, Outcome.Failed);
    assert.equal(w.nextRequest().opId, b.opId);
    const older = w.beginRefresh();
    const newer = w.beginRefresh();
    assert.equal(w.load(newer, '["x"]'), 1);
    const before = [w.exportJson(), w.save()];
    assert.equal(w.load(older, '[]'), null);
    assert.deepEqual([w.exportJson(), w.save()], before);
  }));

test('failures carry the journal reason and change nothing', () => {
  // [reason, what the call needs (made before the state is taken), the call]
  const none = () => null;
  const cases = [
    ['invalid kind', none, (w) => w.setWished('Album', 'a', true)],
    ['empty item_id', none, (w) => w.setWished('album', '', true)],
    ['invalid utf-8', none, (w) => w.setWished('album', 'a', true, Buffer.from([0xc3]))],
    ['invalid utf-8', none, (w) => w.nextRequest(Buffer.from([0xff]))],
    ['unknown operation', none, (w) => w.report(99, Outcome.Accepted)],
    ['invalid argument', (w) => w.nextRequest().opId, (w, op) => w.report(op, 7)],
    ['unknown token', none, (w) => w.load(99, '[]')],
    ['invalid json', (w) => w.beginRefresh(), (w, token) => w.load(token, '[1,]')],
  ];
  for (const [reason, prepare, call] of cases) {
    withSynced((w) => {
      w.setWished('track', 't', true, 'T', '');
      const needed = prepare(w);
      const state = () => [w.exportJson(), w.save(), counts(w)];
      const before = state();
      assert.throws(() => call(w, needed), isReason(reason), reason);
      assert.deepEqual(state(), before, reason);
    });
  }
});

test('a pending request says what it asks, removals too', () =>
  withSynced((w) => {
    w.load(w.beginRefresh(), LIST);
    w.setWished('album', 'al-1', false);
    w.setWished('track', 't "\u00e9"', true);
    const asked = [w.nextRequest(), w.nextRequest()].map(({ kind, itemId, wished }) => [kind, itemId, wished]);
    assert.deepEqual(asked, [['album', 'al-1', false], ['track', 't "\u00e9"', true]]);
  }));

test('ids and tokens out of int64_t range are refused, not wrapped onto real ones', () => {
  const cases = [
    ['unknown operation', (w, op) => w.report(2n ** 64n + BigInt(op), Outcome.Accepted)],
    ['unknown operation', (w, op) => w.report(BigInt(op) - 2n ** 64n, Outcome.Accepted)],
    ['unknown operation', (w) => w.report(2n ** 63n, Outcome.Accepted)],
    ['unknown token', (w) => w.load(2n ** 64n + BigInt(w.beginRefresh()), '[]')],
    ['unknown token', (w) => w.load(-(2n ** 63n) - 1n, '[]')],
  ];
  for (const [reason, call] of cases) {
    withSynced((w) => {
      w.setWished('track', 't', true);
      const op = w.nextRequest().opId;
      const before = [w.exportJson(), counts(w)];
      assert.throws(() => call(w, op), isReason(reason), String(call));
      assert.deepEqual([w.exportJson(), counts(w)], before);
      w.report(BigInt(op), Outcome.Accepted); // still in flight; a bigint in range is taken
      assert.equal(w.confirming, 1);
    });
  }
});

test('ids and tokens stay below 2^53, so they come back as numbers and a request turns into JSON', () => {
  const saved = withSynced((w) => w.save());
  const at = (id) => saved.replace(/"nextId":\d+/, `"nextId":${id}`).replace(/"lastToken":\d+/, `"lastToken":${id - 1}`);
  assert.throws(() => SyncedWishlist.restore(at(2 ** 53)), isReason('invalid journal'));
  const w = SyncedWishlist.restore(at(2 ** 53 - 2));
  try {
    // Up to the last id the journal gives, then no room rather than an unsafe one.
    const ids = [];
    const tokens = [];
    for (let n = 0; n < 3; n += 1) {
      try {
        ids.push(w.setWished('album', `a${n}`, true));
        tokens.push(w.beginRefresh());
      } catch (error) {
        assert.ok(isReason('out of memory')(error), error.message);
      }
    }
    assert.ok(ids.length > 0 && tokens.length > 0);
    assert.ok([...ids, ...tokens].every(Number.isSafeInteger), `${ids} ${tokens}`);
    const request = w.nextRequest();
    assert.equal(request.opId, ids[0]);
    assert.deepEqual(JSON.parse(JSON.stringify(request)), request);
    w.report(BigInt(request.opId), Outcome.Accepted);
    assert.equal(w.confirming, 1);
  } finally {
    w.close();
  }
});

const HEADER = new URL('../../../include/orvel_sync.h', import.meta.url);

test('the enums are the header\'s numbers', { skip: !existsSync(HEADER) && 'needs the checkout\'s header' }, () => {
  const header = readFileSync(HEADER, 'utf8');
  const macro = (name) => Number(new RegExp(`#define ${name} (\\d+)`).exec(header)[1]);
  const upper = (name) => name.replace(/[A-Z]/g, (c, at) => (at ? '_' : '') + c).toUpperCase();
  for (const [enumeration, prefix] of [[Outcome, 'ORVEL_SYNC_'], [orvel.StoreChange, 'ORVEL_SYNC_STORE_'],
    [orvel.EntryState, 'ORVEL_SYNC_']]) {
    for (const [name, value] of Object.entries(enumeration).filter(([key]) => Number.isNaN(Number(key)))) {
      assert.equal(value, macro(prefix + upper(name)), name);
      assert.equal(enumeration[value], name);
    }
  }
});

test('each outcome says what it did to the store, and failed or unknown ones go behind the rest', () => {
  const { EntryState, StoreChange } = orvel;
  const cases = [
    // [wished, outcome, what it did to the store, entry shown, its state then, uncertain entries]
    [true, Outcome.Rejected, StoreChange.Removed, false, EntryState.Synced, 0],
    [false, Outcome.Rejected, StoreChange.Shown, true, EntryState.Synced, 0],
    [true, Outcome.Accepted, StoreChange.Unchanged, true, EntryState.Confirming, 0],
    [true, Outcome.Failed, StoreChange.Unchanged, true, EntryState.Unsent, 0],
    [true, Outcome.Unknown, StoreChange.Unchanged, true, EntryState.Unsent, 1],
  ];
  for (const [wished, outcome, change, shown, state, uncertain] of cases) {
    withSynced((w) => {
      w.load(w.beginRefresh(), LIST); // shows al-1: wish al-2, or take al-1 back
      const item = wished ? 'al-2' : 'al-1';
      w.setWished('album', item, wished, 'T', 'A');
      const other = w.setWished('track', 'other', true);
      const op = w.nextRequest().opId;
      assert.equal(w.report(op, outcome), change, Outcome[outcome]);
      assert.deepEqual([w.has('album', item), w.status('album', item).state, w.uncertain], [shown, state, uncertain],
        Outcome[outcome]);
      if (state === EntryState.Unsent) assert.equal(w.nextRequest().opId, other);
    });
  }
});

test('status follows an entry through the journal', () =>
  withSynced((w) => {
    const { EntryState } = orvel;
    const steps = [w.status('album', 'a2')];
    const op = w.setWished('album', 'a2', true, 'Two');
    steps.push(w.status('album', 'a2'));
    w.report(w.nextRequest().opId, Outcome.Unknown);
    steps.push(w.status('album', 'a2'));
    w.nextRequest();
    steps.push(w.status('album', 'a2'));
    w.report(op, Outcome.Accepted);
    steps.push(w.status('album', 'a2'));
    w.load(w.beginRefresh(), '{"albums":["a2"]}');
    steps.push(w.status(Buffer.from('album'), 'a2'));
    const at = (state, wished, opId, attempts, uncertain) => ({ state, wished, opId, attempts, uncertain });
    assert.deepEqual(steps, [
      at(EntryState.Synced, null, 0, 0, 0),
      at(EntryState.Unsent, true, op, 0, 0),
      at(EntryState.Unsent, true, op, 1, 1),
      at(EntryState.InFlight, true, op, 2, 1),
      at(EntryState.Confirming, true, op, 2, 1),
      at(EntryState.Uncertain, true, 0, 0, 1), // confirmed, but the unknown request may still land
    ]);
    assert.throws(() => w.status('Album', 'a2'), isReason('invalid kind'));
    assert.throws(() => w.status('album', ''), isReason('empty item_id'));
    assert.throws(() => w.status('album'), TypeError);
  }));

test('one snapshot carries the store and the journal, and a damaged one is refused', () => {
  let text;
  let store;
  let inFlight;
  withSynced((w) => {
    w.load(w.beginRefresh(), LIST);
    w.setWished('album', 'a2', true, 'Twö', '');
    inFlight = w.nextRequest().opId;
    w.setWished('album', 'al-1', false);
    [text, store] = [w.snapshot(), w.exportJson()];
    // The client writes the library's bytes as they are: the same as the text's UTF-8.
    assert.deepEqual(snapshotBytes(w), Buffer.from(text));
  });
  const again = SyncedWishlist.openSnapshot(Buffer.from(text));
  try {
    assert.equal(again.exportJson(), store);
    assert.deepEqual([again.held, again.unsent, again.uncertain], [2, 2, 1]);
    // In flight when saved: it may have landed, so it counts as unknown and goes behind the rest.
    assert.deepEqual([again.nextRequest().opId, again.nextRequest().opId], [inFlight + 1, inFlight]);
  } finally {
    again.close();
  }
  assert.throws(() => again.snapshot(), /SyncedWishlist is closed/);
  for (const [reason, damaged] of [
    ['invalid json', text.slice(0, -1)],
    ['invalid json', ''],
    ['invalid snapshot', text.replace('"orvel-snapshot"', '"other"')],
    ['invalid snapshot', text.replace('"store":', '"stock":')],
    ['unsupported version', text.replace('"version":1,', '"version":9,')],
    ['invalid journal', text.replace('"orvel-journal"', '"other"')],
  ]) {
    assert.throws(() => SyncedWishlist.openSnapshot(damaged), isReason(reason), reason);
  }
  assert.throws(() => SyncedWishlist.openSnapshot(null), TypeError);
});

test('restore takes back what save and exportJson gave, strictly', () => {
  let journal;
  let store;
  withSynced((w) => {
    w.load(w.beginRefresh(), LIST);
    w.setWished('album', 'al-1', false, 'T', 'A');
    w.setWished('artist', 'ar-\u00e9', true, '\u266b', '');
    w.nextRequest();
    [journal, store] = [w.save(), w.exportJson()];
  });
  const restored = SyncedWishlist.restore(journal, Buffer.from(store));
  try {
    // What was in flight comes back unsent.
    assert.deepEqual(counts(restored), { held: 2, unsent: 2, inFlight: 0, confirming: 0 });
    assert.equal(restored.exportJson(), store);
    assert.ok(restored.has('artist', 'ar-\u00e9') && !restored.has('album', 'al-1'));
    assert.ok(restored.setWished('track', 't', true) > 2, 'ids continue from the saved ones');
  } finally {
    restored.close();
  }
  // Without the store, the journal alone shows its intents.
  const bare = SyncedWishlist.restore(journal);
  assert.deepEqual([...bare].map((e) => e.itemId), ['ar-\u00e9']);
  bare.close();
  for (const [reason, journalText, storeText] of [
    ['invalid json', journal.slice(0, -1), store],
    ['invalid journal', '{}', store],
    ['unsupported version', journal.replace(/"version":\d+/, '"version":99'), store],
    ['invalid json', journal, '{'],
  ]) {
    assert.throws(() => SyncedWishlist.restore(journalText, storeText), isReason(reason), reason);
  }
});

test('a SyncedWishlist reads as a Wishlist but changes only through its journal', () =>
  withSynced((w) => {
    assert.equal('toggle' in w, false);
    assert.ok(!(w instanceof orvel.Wishlist));
    // load needs the token of a refresh.
    assert.throws(() => w.load('[]'), TypeError);
    w.setWished('album', 'a', true, 'T', '');
    assert.deepEqual(JSON.parse(JSON.stringify(w)), w.export());
    assert.equal(w.size, 1);
  }));

test('wrong argument types are TypeErrors', () =>
  withSynced((w) => {
    for (const call of [
      () => w.setWished('album', 'a', 1),
      () => w.setWished('album', 'a'),
      () => w.report(1.5, Outcome.Accepted),
      () => w.report(1, 'Accepted'),
      () => w.report(1, 2 ** 40),
      () => w.report(2 ** 64, Outcome.Accepted),
      () => w.report(NaN, Outcome.Accepted),
      () => w.load(1.5, '[]'),
      () => w.load('1', '[]'),
      () => w.nextRequest(7),
      () => SyncedWishlist.restore(null),
    ]) {
      assert.throws(call, TypeError);
    }
  }));

test('a closed SyncedWishlist throws instead of touching freed memory', () => {
  const w = new SyncedWishlist();
  w[Symbol.dispose]();
  w.close();
  assert.ok(w.closed);
  for (const use of [() => w.held, () => w.setWished('album', 'a', true), () => w.nextRequest(), () => w.save(),
    () => w.beginRefresh(), () => [...w], () => w.size]) {
    assert.throws(use, /SyncedWishlist is closed/);
  }
});

// Runs a script in a new node, with the libraries as the environment says.
function runNode(script, env) {
  const base = { ...process.env };
  delete base.ORVEL_LIBRARY;
  delete base.ORVEL_SYNC_LIBRARY;
  const run = spawnSync(process.execPath, ['--input-type=module', '-e', script], {
    env: { ...base, ...env },
    encoding: 'utf8',
  });
  assert.equal(run.status, 0, run.stderr);
  return run.stdout;
}
const entry = new URL('../index.mjs', import.meta.url).href;
// The files of the libraries this process has loaded.
const loadedFiles = `(await import('node:fs')).readFileSync('/proc/self/maps', 'utf8').split('\\n')
  .map((l) => l.split(/ +/)[5]).filter((p) => p && /\\/liborvel[^/]*\\.so[^/]*$/.test(p))`;

test('liborvel-sync is loaded only when used, and a missing one is explained', () => {
  const out = runNode(
    `import * as o from '${entry}';
     const w = new o.Wishlist(); w.toggle('album', 'a'); w.close();
     console.log(o.selftest(), [...new Set(${loadedFiles})].some((p) => p.includes('liborvel-sync')));
     try { new o.SyncedWishlist(); } catch (e) {
       console.log(e.name, e instanceof o.OrvelError, e.library); console.log(e.message); }`,
    { ORVEL_LIBRARY: process.env.ORVEL_LIBRARY, ORVEL_SYNC_LIBRARY: '/nonexistent/liborvel-sync.so.1' },
  );
  assert.match(out, /^0 false\nLibraryNotFoundError true liborvel-sync\n/);
  assert.match(out, /liborvel-sync could not be loaded/);
  assert.match(out, /\/nonexistent\/liborvel-sync\.so\.1 \(\$ORVEL_SYNC_LIBRARY\)/);
  assert.match(out, /ORVEL_SYNC_LIBRARY=\/path\/to\/liborvel-sync\.so\.1/);
});

test('liborvel-sync is found beside liborvel, or in the sync folder of its build', () => {
  new SyncedWishlist().close();
  // The files of the two libraries this process uses.
  const [core, sync] = ['liborvel', 'liborvel-sync'].map((name) =>
    readFileSync('/proc/self/maps', 'utf8').split('\n').map((l) => l.split(/ +/)[5])
      .find((p) => p && p.includes(`/${name}.so`)));
  for (const subfolder of ['', 'sync']) {
    const folder = mkdtempSync(join(tmpdir(), 'orvel-libs-'));
    try {
      copyFileSync(core, join(folder, 'liborvel.so.1'));
      mkdirSync(join(folder, subfolder), { recursive: true });
      copyFileSync(sync, join(folder, subfolder, 'liborvel-sync.so.1'));
      const out = runNode(
        `import * as o from '${entry}';
         const w = new o.SyncedWishlist(); w.setWished('album', 'a', true); w.close();
         console.log(JSON.stringify([...new Set(${loadedFiles})]));`,
        { ORVEL_LIBRARY: join(folder, 'liborvel.so.1') },
      );
      // One liborvel only: the journal uses the one the package loaded.
      assert.deepEqual(JSON.parse(out).sort(), [join(folder, subfolder, 'liborvel-sync.so.1'), join(folder, 'liborvel.so.1')].sort());
    } finally {
      rmSync(folder, { recursive: true, force: true });
    }
  }
});
