// SPDX-License-Identifier: MIT
// Tests of the Node binding against the built library ($ORVEL_LIBRARY).
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { test } from 'node:test';
import { inspect } from 'node:util';
import { Worker } from 'node:worker_threads';

import * as orvel from '../index.mjs';

const require = createRequire(import.meta.url);

// Node 20 has Symbol.dispose but not the `using` syntax; this does its work.
function withWishlists(n, body) {
  const lists = Array.from({ length: n }, () => new orvel.Wishlist());
  try {
    return body(...lists);
  } finally {
    for (const w of lists) w[Symbol.dispose]();
  }
}

test('versions, self-test and kinds', () => {
  // The package is versioned with the library it binds.
  assert.equal(orvel.version(), require('../package.json').version);
  assert.equal(orvel.abiVersion(), orvel.ABI_VERSION);
  assert.equal(orvel.syncAbiVersion(), orvel.SYNC_ABI_VERSION);
  assert.equal(orvel.selftest(), 0);
  assert.ok(orvel.KINDS.every((k) => orvel.validateKind(k)));
  assert.equal(orvel.validateKind('Track'), false);
});

test('both entries share one module and export the same names', () => {
  const cjs = require('../index.cjs');
  assert.equal(cjs.Wishlist, orvel.Wishlist);
  assert.deepEqual(Object.keys(orvel).filter((name) => name !== 'default').sort(), Object.keys(cjs).sort());
});

test('list URL', () => {
  for (const [base, url] of [
    ['https://x.example//', 'https://x.example/wishlist/api/mine'],
    [Buffer.from('B/'), 'B/wishlist/api/mine'],
    ['///', '/wishlist/api/mine'],
  ]) {
    assert.equal(orvel.buildMineUrl(base), url);
  }
  assert.equal(orvel.buildMineUrl(), orvel.buildMineUrl(''));
});

test('request is the library text, byte for byte', () => {
  assert.equal(
    orvel.buildWishRequestJson(true, 'track', 't1', null, 'A', 'B'),
    '{"method":"POST","url":"B/wishlist/api/wish","contentType":"application/json",' +
      '"body":"{\\"op\\":\\"add\\",\\"kind\\":\\"track\\",\\"itemId\\":\\"t1\\",\\"title\\":\\"\\",\\"artist\\":\\"A\\"}"}',
  );
  const envelope = orvel.buildWishRequest(false, 'album', 'a', 'Say "hi"\n', '\u266b\u{1f3b5}');
  assert.deepEqual(JSON.parse(envelope.body), {
    op: 'remove', kind: 'album', itemId: 'a', title: 'Say "hi"\n', artist: '\u266b\u{1f3b5}',
  });
});

test('request errors carry the library message', () => {
  for (const [kind, itemId, title, base, reason] of [
    ['Album', 'a', null, null, 'invalid kind'],
    ['Album', '', null, null, 'invalid kind'],
    ['album', '', null, null, 'empty item_id'],
    ['album', 'a', null, Buffer.from([0xff]), ''],
    ['album', 'a', Buffer.from([0xc3]), null, ''],
  ]) {
    assert.throws(() => orvel.buildWishRequestJson(true, kind, itemId, title, null, base), (e) => {
      assert.ok(e instanceof orvel.OrvelError);
      assert.equal(e.reason, reason);
      return true;
    });
  }
});

test('wrong argument types are TypeErrors', () => {
  for (const call of [
    () => orvel.buildMineUrl(5),
    () => orvel.buildWishRequestJson(true, null, 'a'),
    () => orvel.buildWishRequestJson(true, 'album', 7),
    () => orvel.buildWishRequestJson(1, 'album', 'a'),
    () => orvel.buildWishRequestJson(true, 'album', 'a\0b'),
    () => orvel.buildWishRequestJson(true, 'album', '\ud800'),
    () => orvel.validateKind(undefined),
  ]) {
    assert.throws(call, TypeError);
  }
});

test('toggle, has, size and export', () => withWishlists(1, (w) => {
  assert.equal(w.size, 0);
  assert.equal(w.toggle('album', 'a1', 'T\u00e9'), true);
  assert.ok(w.has('album', 'a1') && !w.has('track', 'a1'));
  assert.equal(w.exportJson(), '{"total":1,"items":[{"kind":"album","itemId":"a1","title":"T\u00e9","artist":""}]}');
  assert.equal(w.export().total, 1);
  assert.equal(w.toggle('album', 'a1'), false);
  assert.equal(w.size, 0);
}));

test('toggle failures leave the store unchanged', () => {
  for (const [kind, itemId, reason] of [
    ['Album', 'a1', 'invalid kind'],
    ['album', '', 'empty item_id'],
    ['album', new Uint8Array(0), 'empty item_id'],
  ]) {
    withWishlists(1, (w) => {
      w.toggle('track', 't');
      assert.throws(() => w.toggle(kind, itemId), (e) => e instanceof orvel.OrvelError && e.reason === reason);
      assert.equal(w.size, 1);
    });
  }
});

const RESPONSE = '{"tracks":["t1","t2","t1"],"albums":[{"id":"\u00e9"}]}';

test('load takes every byte container with its exact length', () => {
  const bytes = Buffer.from(RESPONSE);
  const padded = Buffer.concat([Buffer.from('xx'), bytes, Buffer.from('yy')]);
  for (const response of [
    RESPONSE,
    bytes,
    new Uint8Array(bytes),
    bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length),
    padded.subarray(2, padded.length - 2),
    new DataView(padded.buffer, padded.byteOffset + 2, bytes.length),
  ]) {
    withWishlists(1, (w) => {
      assert.equal(w.load(response), 3);
      assert.ok(w.has('album', '\u00e9'));
    });
  }
});

test('failed load reports invalid json and keeps the store', () => {
  for (const bad of ['', Buffer.alloc(0), '[1,]', Buffer.from('["t1"]\0'), '\ufeff[]', Buffer.from('["\xff"]', 'latin1')]) {
    withWishlists(1, (w) => {
      w.load(RESPONSE);
      assert.throws(() => w.load(bad), (e) => e instanceof orvel.OrvelError && e.reason === 'invalid json');
      assert.equal(w.size, 3);
    });
  }
  withWishlists(1, (w) => {
    for (const bad of [12, null, ['[]'], {}]) assert.throws(() => w.load(bad), TypeError);
  });
});

test('export loads back byte for byte', () => withWishlists(2, (a, b) => {
  for (let i = 0; i < 50; i++) a.toggle(orvel.KINDS[i % 4], `id-${i}`, `"${i}"\\/`, '\u266b');
  assert.equal(b.load(a.exportJson()), 50);
  assert.equal(a.exportJson(), b.exportJson());
}));

test('iteration yields frozen entries in store order, as they were when it started', () =>
  withWishlists(1, (w) => {
    w.load(RESPONSE);
    w.toggle('artist', 'ar-1', 'T', 'A\u266b');
    const seen = [];
    for (const entry of w) {
      seen.push(entry);
      if (seen.length === 1) w.toggle('album', 'late');
    }
    assert.deepEqual(seen, [
      { kind: 'track', itemId: 't1', title: '', artist: '' },
      { kind: 'track', itemId: 't2', title: '', artist: '' },
      { kind: 'album', itemId: '\u00e9', title: '', artist: '' },
      { kind: 'artist', itemId: 'ar-1', title: 'T', artist: 'A\u266b' },
    ]);
    assert.ok(seen.every(Object.isFrozen));
    assert.deepEqual([...w], w.export().items);
  }));

test('JSON.stringify writes the export, and inspection shows the size', () =>
  withWishlists(2, (a, b) => {
    a.toggle('album', 'a1', '"q"\n', '\t\u2028/');
    assert.deepEqual(JSON.parse(JSON.stringify({ wishes: a })), { wishes: a.export() });
    assert.equal(b.load(JSON.stringify(a)), 1);
    assert.equal(b.exportJson(), a.exportJson());
    assert.equal(inspect(a), 'Wishlist (1 entry)');
    a.toggle('album', 'a2');
    assert.equal(inspect([a]), '[ Wishlist (2 entries) ]');
    a.close();
    assert.equal(inspect(a), 'Wishlist (closed)');
  }));

test('a closed wishlist throws instead of touching freed memory', () => {
  const w = new orvel.Wishlist();
  w.close();
  w[Symbol.dispose]();
  assert.ok(w.closed);
  for (const use of [() => w.size, () => w.load('[]'), () => w.has('track', 't'), () => w.exportJson(), () => [...w],
    () => JSON.stringify(w)]) {
    assert.throws(use, orvel.OrvelError);
  }
});

// Resident memory after the collector and the finalizers have had their turn.
async function settledResidentBytes() {
  for (let i = 0; i < 5; i++) {
    globalThis.gc?.();
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
  return process.memoryUsage().rss;
}

// Runs n calls in batches, letting finalizers run between them, and returns
// how much resident memory the last n calls added after a warm-up of n / 5.
async function growthOver(n, call) {
  const batches = async (count) => {
    for (let done = 0; done < count; done += 5000) {
      for (let i = 0; i < 5000; i++) call(i);
      globalThis.gc?.();
      await new Promise((resolve) => setImmediate(resolve));
    }
  };
  await batches(n / 5);
  const before = await settledResidentBytes();
  await batches(n);
  return (await settledResidentBytes()) - before;
}

test('every returned text is freed', async () => {
  const w = new orvel.Wishlist();
  w.load(RESPONSE);
  const grown = await growthOver(100_000, (i) => {
    orvel.buildWishRequestJson((i & 1) === 1, 'track', 't1', 'x'.repeat(200));
    orvel.buildMineUrl('B');
    w.exportJson();
  });
  w.close();
  // Leaking any of these texts would add tens of megabytes.
  assert.ok(grown < 16 * 1024 * 1024, `resident memory grew by ${grown} bytes`);
});

test('a forgotten wishlist is released when collected', async () => {
  const grown = await growthOver(100_000, () => new orvel.Wishlist().toggle('album', 'a'));
  // Each leaked store would hold about a kilobyte: a hundred megabytes here.
  assert.ok(grown < 40 * 1024 * 1024, `resident memory grew by ${grown} bytes`);
});

test('separate stores on several worker threads', async () => {
  const source = `
    const { parentPort, workerData } = require('node:worker_threads');
    const orvel = require(workerData.entry);
    const w = new orvel.Wishlist();
    for (let i = 0; i < 200; i++) w.toggle('track', workerData.n + '-' + i);
    let ok = w.size === 200 && w.load(w.exportJson()) === 200 && orvel.selftest() === 0;
    try { w.load('{'); ok = false; } catch (e) { ok = ok && e.reason === 'invalid json'; }
    w.close();
    parentPort.postMessage(ok);`;
  const entry = require.resolve('../index.cjs');
  const results = await Promise.all(
    Array.from({ length: 4 }, (_, n) => new Promise((resolve, reject) => {
      const worker = new Worker(source, { eval: true, workerData: { n, entry } });
      worker.once('message', resolve);
      worker.once('error', reject);
    })),
  );
  assert.deepEqual(results, [true, true, true, true]);
});

test('a missing library says what was tried and how to fix it', () => {
  const env = { ...process.env, ORVEL_LIBRARY: '/nonexistent/liborvel.so.1' };
  const script = `import('${new URL('../index.mjs', import.meta.url)}').then((o) => {
    try { o.selftest(); } catch (e) { console.log(e.name, e instanceof o.OrvelError); console.log(e.message); } })`;
  const run = spawnSync(process.execPath, ['-e', script], { env, encoding: 'utf8' });
  assert.equal(run.status, 0, run.stderr);
  assert.match(run.stdout, /^LibraryNotFoundError true\n/);
  assert.match(run.stdout, /\/nonexistent\/liborvel\.so\.1 \(\$ORVEL_LIBRARY\)/);
  assert.match(run.stdout, /ORVEL_LIBRARY=/);
});
