// SPDX-License-Identifier: MIT
// Threads and concurrency. A client belongs to the event loop of its thread:
// worker threads make their own clients and use them at once; many callers
// interleaved on one client while it closes each either finish (and are
// saved) or are told it is closed; and a client posted to a worker arrives
// as a plain object, no handle with it.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { after, test } from 'node:test';
import { Worker } from 'node:worker_threads';

import { WishlistClient } from '../index.mjs';
import { keys, scratch, sleep, startService } from './service.mjs';

const require = createRequire(import.meta.url);
const entry = JSON.stringify(require.resolve('../index.cjs'));
const service = await startService({ maxSeconds: 100 });
after(() => service.stop());
const { dir: root, remove } = scratch('orvel-threads-');
after(remove);

function runWorker(source, workerData) {
  return new Promise((resolve, reject) => {
    const worker = new Worker(source, { eval: true, workerData });
    worker.once('message', resolve);
    worker.once('error', reject);
    worker.once('exit', (code) => code !== 0 && reject(new Error(`worker exited ${code}`)));
  });
}

test('four worker threads, each with its own client, sync at once', async () => {
  const source = `
    const { parentPort, workerData } = require('node:worker_threads');
    const { WishlistClient } = require(${entry});
    (async () => {
      const client = new WishlistClient(workerData.baseUrl, workerData.dir, { backoffBase: 10, backoffCap: 100 });
      for (let i = 0; i < 25; i += 1) client.setWished('track', 'w' + workerData.n + '-' + i, i % 4 !== 3, 'T', 'A');
      for (let pass = 0; pass < 20 && (await client.syncNow()).refreshed === false; pass += 1);
      const mine = client.entries().filter((e) => e.itemId.startsWith('w' + workerData.n + '-')).length;
      await client.close();
      parentPort.postMessage(mine);
    })();`;
  const counts = await Promise.all([0, 1, 2, 3].map((n) => runWorker(source, { n, baseUrl: service.baseUrl, dir: join(root, `w${n}`) })));
  assert.deepEqual(counts, [19, 19, 19, 19]);
  const served = keys((await service.state()).entries);
  for (let n = 0; n < 4; n += 1) assert.equal(served.filter((k) => k.startsWith(`track/w${n}-`)).length, 19);
});

test('callers interleaved on one client while another closes it: each call finishes or is told it is closed', async () => {
  const dir = join(root, 'shared');
  const client = new WishlistClient(service.baseUrl, dir, { backoffBase: 10, backoffCap: 100 });
  const done = new Map(); // item -> wished, for each setWished that returned
  let refused = 0;
  const caller = async (c) => {
    for (let i = 0; i < 40; i += 1) {
      const itemId = `c${c}-${i % 10}`;
      const wished = i % 3 !== 0;
      try {
        client.setWished('album', itemId, wished);
        done.set(itemId, wished);
        if (i % 7 === 0) await client.syncNow();
      } catch (error) {
        assert.match(error.message, /the client is closed/);
        refused += 1;
        return;
      }
      await sleep(i % 2);
    }
  };
  const closer = (async () => {
    await sleep(40);
    await client.close();
  })();
  await Promise.all([caller(0), caller(1), caller(2), caller(3), closer]);
  assert.equal(client.state, 'closed');
  const again = new WishlistClient(service.baseUrl, dir);
  try {
    for (const [itemId, wished] of done) assert.equal(again.wished('album', itemId), wished, itemId);
  } finally {
    await again.close();
  }
  assert.ok(done.size > 0 && refused <= 4);
});

test('a client posted to a worker arrives as a plain object, with no handle', async () => {
  const client = new WishlistClient(service.baseUrl, join(root, 'posted'));
  try {
    const source = `
      const { parentPort } = require('node:worker_threads');
      parentPort.once('message', (m) => parentPort.postMessage([Object.keys(m).length, typeof m.setWished]));`;
    const worker = new Worker(source, { eval: true });
    const answer = new Promise((resolve) => worker.once('message', resolve));
    worker.postMessage(client);
    assert.deepEqual(await answer, [0, 'undefined']);
    await worker.terminate();
  } finally {
    await client.close();
  }
});
