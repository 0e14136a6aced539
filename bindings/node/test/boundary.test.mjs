// SPDX-License-Identifier: MIT
// Faults at the boundary between JS and the libraries, each reproduced.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { cpSync, mkdirSync, mkdtempSync, rmSync, symlinkSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';
import { Worker } from 'node:worker_threads';

import koffi from 'koffi';

import * as orvel from '../index.mjs';

const packageDir = fileURLToPath(new URL('..', import.meta.url));
const require = createRequire(import.meta.url);

test('two copies of the package in one process share one koffi', () => {
  // As npm lays out two dependencies that pin different versions of orvel
  // beside one koffi.
  const top = mkdtempSync(join(tmpdir(), 'orvel-copies-'));
  try {
    mkdirSync(join(top, 'node_modules'));
    symlinkSync(join(packageDir, 'node_modules', 'koffi'), join(top, 'node_modules', 'koffi'), 'dir');
    const copies = ['a', 'b'].map((name) => {
      const dir = join(top, name, 'node_modules', 'orvel');
      cpSync(packageDir, dir, { recursive: true, filter: (src) => !/node_modules|test/.test(src.slice(packageDir.length)) });
      return require(dir);
    });
    assert.equal(require.resolve('koffi', { paths: [join(top, 'a', 'node_modules', 'orvel')] }), require.resolve('koffi'));
    for (const copy of copies) {
      assert.notEqual(copy.Wishlist, orvel.Wishlist);
      assert.equal(copy.selftest(), 0);
      const w = new copy.Wishlist();
      w.toggle('album', 'a');
      assert.equal(w.exportJson(), '{"total":1,"items":[{"kind":"album","itemId":"a","title":"","artist":""}]}');
      w.close();
      const s = new copy.SyncedWishlist();
      s.setWished('track', 't', true);
      assert.equal(s.nextRequest().opId, 1);
      s.close();
    }
  } finally {
    rmSync(top, { recursive: true, force: true });
  }
});

// Bytes the C allocator has handed out and not taken back, in every arena.
const mallinfo2 = (() => {
  try {
    const fields = Object.fromEntries(
      ['arena', 'ordblks', 'smblks', 'hblks', 'hblkhd', 'usmblks', 'fsmblks', 'uordblks', 'fordblks', 'keepcost']
        .map((name) => [name, 'size_t']),
    );
    return koffi.load('libc.so.6').func('mallinfo2', koffi.struct(fields), []);
  } catch {
    return null; // not glibc
  }
})();
const allocatedBytes = () => {
  const info = mallinfo2();
  return Number(info.uordblks) + Number(info.hblkhd);
};

test('wishlists left open in a worker are released when it exits', { skip: !mallinfo2 && 'needs glibc' }, async () => {
  // Each worker leaves 200 wishlists and 100 synced ones open, each of 100
  // entries, and ends as a worker may: by its end, process.exit or a throw.
  const source = `
    const { workerData } = require('node:worker_threads');
    const orvel = require(workerData.entry);
    const title = 'x'.repeat(100);
    for (let n = 0; n < 300; n++) {
      if (n % 3 === 0) {
        const s = new orvel.SyncedWishlist();
        for (let i = 0; i < 100; i++) s.setWished('track', 't' + i, true, title);
      } else {
        const w = new orvel.Wishlist();
        for (let i = 0; i < 100; i++) w.toggle('track', 't' + i, title);
      }
    }
    if (workerData.end === 'exit') process.exit(0);
    if (workerData.end === 'throw') throw new Error('the end');`;
  const entry = require.resolve('../index.cjs');
  const runWorkers = () =>
    Promise.all(['natural', 'exit', 'throw', 'natural', 'exit'].map((end) => new Promise((resolve) => {
      const worker = new Worker(source, { eval: true, workerData: { entry, end } });
      worker.on('error', () => {});
      worker.once('exit', resolve);
    })));
  await runWorkers(); // warms up the workers' own allocations
  const before = allocatedBytes();
  await runWorkers();
  const grown = allocatedBytes() - before;
  // Left allocated, they would hold some 40 MB (1,500 stores of 100 entries).
  assert.ok(grown < 8 * 1024 * 1024, `${grown} bytes still allocated`);
});

// The URL buffer of a base this long is the one allocation a preloaded
// library makes fail (test/fail_size.c): the request then fails for want of
// memory while liborvel's error text still holds an earlier call's.
const LONG_BASE_LENGTH = 1_000_003;
const URL_BUFFER_SIZE = LONG_BASE_LENGTH + '/wishlist/api/wish'.length + 1;

test('a request that finds no memory does not report an earlier call\'s error',
  { skip: !process.env.ORVEL_TEST_FAIL_SIZE_LIBRARY && 'needs ORVEL_TEST_FAIL_SIZE_LIBRARY (set by CTest)' }, () => {
    const script = `
      import * as o from '${new URL('../index.mjs', import.meta.url).href}';
      const base = 'h'.repeat(${LONG_BASE_LENGTH});
      const w = new o.Wishlist();
      try { w.load('{'); } catch (e) { console.log(e.reason); }
      for (const call of [() => o.buildWishRequestJson(true, 'album', 'a', null, null, base), () => o.buildMineUrl(base)]) {
        try { call(); console.log('built'); } catch (e) { console.log(e.reason); }
      }
      const s = new o.SyncedWishlist();
      s.setWished('album', 'a', true);
      try { s.load(1, '{'); } catch (e) { console.log(e.reason); }
      try { s.nextRequest(base); } catch (e) { console.log(e.reason, s.unsent); }`;
    const run = spawnSync(process.execPath, ['--input-type=module', '-e', script], {
      env: { ...process.env, LD_PRELOAD: process.env.ORVEL_TEST_FAIL_SIZE_LIBRARY, ORVEL_TEST_FAIL_SIZE: `${URL_BUFFER_SIZE}` },
      encoding: 'utf8',
    });
    assert.equal(run.status, 0, run.stderr);
    assert.equal(run.stdout, 'invalid json\nout of memory\nout of memory\nunknown token\nout of memory 1\n');
  });

test('a list URL on a base that is not UTF-8 fails instead of changing it', () => {
  for (const base of [Buffer.from([0x68, 0xff]), Buffer.from('caf\u00e9', 'latin1'), Buffer.from([0xe2, 0x82])]) {
    assert.throws(() => orvel.buildMineUrl(base), (e) => e instanceof orvel.OrvelError && e.reason === 'invalid utf-8');
  }
  assert.equal(orvel.buildMineUrl(Buffer.from('caf\u00e9/')), 'caf\u00e9/wishlist/api/mine');
});
