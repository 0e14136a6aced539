// SPDX-License-Identifier: MIT
// What WishlistClient adds to a sync pass: 1,000 changes sent to the sample
// service by syncNow(), against the same 1,000 requests sent by a minimal loop
// with the same fetch and the same number in flight (no journal, no saving).
// Prints the ratios of the fastest and of the median rounds, in one process (the
// fastest is the steadier figure on a machine that others share).
//   node bench/client-pass.mjs [CHANGES] [ROUNDS]   (ORVEL_LIBRARY, ORVEL_SYNC_LIBRARY set)
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { performance } from 'node:perf_hooks';

import { DEFAULTS, SyncedWishlist, WishlistClient } from '../index.mjs';
import { startService } from '../test-client/service.mjs';

const CHANGES = Number(process.argv[2] ?? 1000);
const ROUNDS = Number(process.argv[3] ?? 7);
const IN_FLIGHT = DEFAULTS.maxInFlight;
const service = await startService({ maxSeconds: 600, maxRequests: 10 * ROUNDS * (CHANGES + 10) });
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const item = (round, i) => `b${round}-${i}`;

// The same requests the client sends, made by the journal beforehand (outside the timing).
function requests(round) {
  const wishes = new SyncedWishlist();
  for (let i = 0; i < CHANGES; i += 1) wishes.setWished('track', item(round, i), true, 'Title', 'Artist');
  const all = [];
  for (let r = wishes.nextRequest(service.baseUrl); r !== null; r = wishes.nextRequest(service.baseUrl)) all.push(r);
  wishes.close();
  return all;
}

async function minimalLoop(round) {
  const queue = requests(round);
  const start = performance.now();
  const worker = async () => {
    for (let r = queue.shift(); r !== undefined; r = queue.shift()) {
      const answer = await fetch(r.url, { method: r.method, headers: { 'content-type': r.contentType }, body: r.body, signal: AbortSignal.timeout(10_000) });
      await answer.arrayBuffer();
    }
  };
  await Promise.all(Array.from({ length: IN_FLIGHT }, worker));
  await (await fetch(`${service.baseUrl}/wishlist/api/mine`)).arrayBuffer(); // the pass's one refresh
  return performance.now() - start;
}

async function clientPass(round) {
  const dir = mkdtempSync(join(tmpdir(), 'orvel-bench-'));
  const client = new WishlistClient(service.baseUrl, dir);
  try {
    for (let i = 0; i < CHANGES; i += 1) client.setWished('track', item(round + 1000, i), true, 'Title', 'Artist');
    const start = performance.now();
    const summary = await client.syncNow();
    const took = performance.now() - start;
    if (summary.accepted !== CHANGES || !summary.refreshed) throw new Error(`the pass did not go through: ${JSON.stringify(summary)}`);
    return took;
  } finally {
    await client.close();
    rmSync(dir, { recursive: true, force: true });
  }
}

const base = [];
const ours = [];
for (let round = 0; round < ROUNDS; round += 1) {
  await service.control({ entries: [] });
  base.push(await minimalLoop(round));
  await service.control({ entries: [] });
  ours.push(await clientPass(round));
}
await service.stop();
const fastest = (xs) => Math.min(...xs);
console.log(`${CHANGES} changes, ${IN_FLIGHT} in flight, state in ${tmpdir()}, ${ROUNDS} rounds: ` +
  `minimal loop ${fastest(base).toFixed(0)} ms fastest, ${median(base).toFixed(0)} ms median; ` +
  `WishlistClient.syncNow() ${fastest(ours).toFixed(0)} / ${median(ours).toFixed(0)} ms: ` +
  `ratio ${(fastest(ours) / fastest(base)).toFixed(3)} fastest, ${(median(ours) / median(base)).toFixed(3)} median`);
