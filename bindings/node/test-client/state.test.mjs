// SPDX-License-Identifier: MIT
// The client's folder: the order of the file operations that save a snapshot,
// a damaged or unreadable snapshot refused with the file named, and the lock.
import assert from 'node:assert/strict';
import * as fs from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { after, test } from 'node:test';
import { Worker } from 'node:worker_threads';

import { OrvelError, StateError, WishlistClient } from '../index.mjs';
import { scratch } from './service.mjs';

const require = createRequire(import.meta.url);
const { StateDir } = require('../lib/client/state-dir.cjs');
const BASE = 'http://127.0.0.1:9'; // never reached: these tests send nothing

function folder() {
  const made = scratch('orvel-state-');
  after(made.remove);
  return made.dir;
}

// node:fs with every call the storage makes recorded as [name, path] (a descriptor named by its path).
function recordingFs() {
  const calls = [];
  const paths = new Map();
  const ops = {
    ...fs,
    openSync(path, ...rest) {
      const fd = fs.openSync(path, ...rest);
      paths.set(fd, path);
      calls.push(['open', path]);
      return fd;
    },
  };
  for (const name of ['writeFileSync', 'fsyncSync', 'closeSync']) {
    ops[name] = (fd, ...rest) => {
      calls.push([name.replace(/Sync$/, ''), paths.get(fd) ?? fd]);
      return fs[name](fd, ...rest);
    };
  }
  ops.renameSync = (from, to) => {
    calls.push(['rename', from, to]);
    return fs.renameSync(from, to);
  };
  return { ops, calls };
}

test('a snapshot is written to its temporary file, flushed, renamed, then the folder flushed', () => {
  const dir = folder();
  const { ops, calls } = recordingFs();
  const state = new StateDir(dir, ops);
  calls.length = 0;
  state.saveSnapshot('{"one":1}');
  const tmp = join(dir, 'wishlist.snapshot.tmp');
  const file = join(dir, 'wishlist.snapshot');
  assert.deepEqual(calls, [
    ['open', tmp], ['writeFile', tmp], ['fsync', tmp], ['close', tmp],
    ['rename', tmp, file],
    ['open', dir], ['fsync', dir], ['close', dir],
  ]);
  assert.equal(fs.readFileSync(file, 'utf8'), '{"one":1}');
  state.close();
});

test('a write that fails leaves the old snapshot whole', () => {
  const dir = folder();
  const state = new StateDir(dir);
  state.saveSnapshot('old');
  const failing = new StateDir(folder(), { ...fs, fsyncSync() { throw Object.assign(new Error('no space'), { code: 'ENOSPC' }); } });
  assert.throws(() => failing.saveSnapshot('new'), /no space/);
  failing.close();
  // The same through the folder that holds "old": its temporary file is never renamed.
  state.close();
  const again = new StateDir(dir, { ...fs, fsyncSync(fd) { if (fs.fstatSync(fd).isFile()) throw new Error('disk gone'); } });
  assert.throws(() => again.saveSnapshot('new'), /disk gone/);
  assert.equal(fs.readFileSync(join(dir, 'wishlist.snapshot'), 'utf8'), 'old');
  again.close();
});

test('every change and every outcome is on the disk when the call returns', async () => {
  const dir = folder();
  const client = new WishlistClient(BASE, dir);
  const read = () => fs.readFileSync(join(dir, 'wishlist.snapshot'), 'utf8');
  client.setWished('album', 'al-1', true, 'T', 'A');
  assert.match(read(), /al-1/);
  client.setWished('album', 'al-1', false);
  client.setWished('track', 'tr-2', true);
  const saved = read();
  assert.match(saved, /tr-2/);
  await client.close();
  const again = new WishlistClient(BASE, dir);
  assert.deepEqual([again.wished('album', 'al-1'), again.wished('track', 'tr-2')], [false, true]);
  await again.close();
});

test('a damaged or unreadable snapshot is refused, the file named and left as it is', async () => {
  const good = folder();
  const client = new WishlistClient(BASE, good);
  client.setWished('album', 'al-1', true);
  await client.close();
  const whole = fs.readFileSync(join(good, 'wishlist.snapshot'));
  const cases = [
    ['cut short', whole.subarray(0, whole.length - 5)],
    ['empty', Buffer.alloc(0)],
    ['not JSON', Buffer.from('garbage')],
    ['JSON, not a snapshot', Buffer.from('{"entries":[]}')],
    ['a folder in its place', null],
  ];
  for (const [what, bytes] of cases) {
    const dir = folder();
    const file = join(dir, 'wishlist.snapshot');
    if (bytes === null) fs.mkdirSync(file);
    else fs.writeFileSync(file, bytes);
    assert.throws(() => new WishlistClient(BASE, dir), (error) => {
      assert.ok(error instanceof StateError && error instanceof OrvelError, what);
      assert.equal(error.path, file, what);
      assert.ok(error.message.includes(file), `${what}: ${error.message}`);
      return true;
    });
    if (bytes !== null) assert.deepEqual(fs.readFileSync(file), bytes, `${what}: left as it is`);
    // The refused open let the folder go: a repaired snapshot opens.
    fs.rmSync(file, { recursive: true });
    fs.writeFileSync(file, whole);
    const repaired = new WishlistClient(BASE, dir);
    assert.equal(repaired.wished('album', 'al-1'), true);
    await repaired.close();
  }
});

test('a second open of the same folder is refused, in this thread or another, until the first closes', async () => {
  const dir = folder();
  const first = new WishlistClient(BASE, dir);
  assert.throws(() => new WishlistClient(BASE, dir), (error) => error instanceof StateError && error.message.includes(dir));
  const fromWorker = new Worker(
    `const { WishlistClient } = require(${JSON.stringify(require.resolve('../index.cjs'))});
     try { new WishlistClient('${BASE}', ${JSON.stringify(dir)}); require('node:worker_threads').parentPort.postMessage('opened'); }
     catch (error) { require('node:worker_threads').parentPort.postMessage(error.name + ': ' + error.message); }`,
    { eval: true },
  );
  const [answer] = await new Promise((resolve) => fromWorker.once('message', (m) => resolve([m])));
  await fromWorker.terminate();
  assert.match(answer, /^StateError: .*in use by another client/);
  await first.close();
  const second = new WishlistClient(BASE, dir);
  await second.close();
});

test('the installation id lasts as long as the journal, and a new journal gets a new one', async () => {
  const dir = folder();
  const idFile = join(dir, 'installation-id');
  let client = new WishlistClient(BASE, dir);
  const first = fs.readFileSync(idFile, 'utf8');
  client.setWished('album', 'al-1', true);
  await client.close();
  client = new WishlistClient(BASE, dir);
  assert.equal(fs.readFileSync(idFile, 'utf8'), first);
  await client.close();
  fs.rmSync(join(dir, 'wishlist.snapshot'));
  client = new WishlistClient(BASE, dir);
  assert.notEqual(fs.readFileSync(idFile, 'utf8'), first, 'operation ids start again: so does the key');
  await client.close();
});

// recordingFs, with the promise API the background save uses recorded too.
function recordingFsWithPromises() {
  const { ops, calls } = recordingFs();
  ops.promises = {
    async open(path, ...rest) {
      const handle = await fs.promises.open(path, ...rest);
      calls.push(['open', path]);
      return {
        writeFile: async (data) => { calls.push(['writeFile', path]); await handle.writeFile(data); },
        sync: async () => { calls.push(['fsync', path]); await handle.sync(); },
        close: async () => { calls.push(['close', path]); await handle.close(); },
      };
    },
  };
  return { ops, calls };
}

test('a background save keeps the same order, through a temporary file of its own', async () => {
  const dir = folder();
  const { ops, calls } = recordingFsWithPromises();
  const state = new StateDir(dir, ops);
  calls.length = 0;
  assert.equal(await state.saveSnapshotInBackground('{"two":2}', () => false), true);
  const tmp = join(dir, 'wishlist.snapshot.outcomes.tmp');
  assert.deepEqual(calls, [
    ['open', tmp], ['writeFile', tmp], ['fsync', tmp], ['close', tmp],
    ['rename', tmp, join(dir, 'wishlist.snapshot')],
    ['open', dir], ['fsync', dir], ['close', dir],
  ]);
  state.close();
});

test('a save made while a background one waits for the disk stands; the older is dropped', async () => {
  const dir = folder();
  const state = new StateDir(dir);
  let newer = false;
  const older = state.saveSnapshotInBackground('older', () => newer);
  state.saveSnapshot('newer'); // as setWished() does, on the same thread, meanwhile
  newer = true;
  assert.equal(await older, false);
  assert.equal(fs.readFileSync(join(dir, 'wishlist.snapshot'), 'utf8'), 'newer');
  state.close();
});
