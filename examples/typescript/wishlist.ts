// SPDX-License-Identifier: MIT
// The wishlist of one user, kept in step with the service: it loads the list,
// shows it, wishes one album through the change journal, sends the change
// (backing off while the service fails or does not answer) and shows the list
// again. The store and the journal are saved together in
// FOLDER/wishlist.snapshot after every change, so a second run goes on where
// the first stopped. The Node example, typed.
//   npm ci && npm install PATH/TO/orvel-1.0.0.tgz && npx tsc -p . && node dist/wishlist.js BASE_URL FOLDER [TIMEOUT_SECONDS]
import { closeSync, fsyncSync, openSync, readFileSync, renameSync, writeSync } from 'node:fs';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { OrvelError, Outcome, SyncedWishlist, buildMineUrl } from 'orvel';

interface Answer {
  status: number; // NOT_SENT or NO_ANSWER when no answer came
  body: ArrayBuffer;
}

const [baseUrl, folder, seconds = '10'] = process.argv.slice(2);
const TIMEOUT_MS = Math.round(Number(seconds) * 1000); // each request's deadline
const MAX_TRIES = 6;
const MAX_LIST_BYTES = 4 << 20; // a list larger than this is refused
const SNAPSHOT = 'wishlist.snapshot'; // the store and the journal, saved together
// http()'s status when no answer came: the request certainly did not leave (refused,
// or the name did not resolve), or it may have reached the service (deadline passed,
// connection broken).
const NOT_SENT = 0;
const NO_ANSWER = -1;
const NEVER_LEFT = new Set(['ECONNREFUSED', 'ENOTFOUND', 'EAI_AGAIN']); // fetch's causes for NOT_SENT

// The wishlist saved in folder, or a new one when nothing is saved there yet. A
// snapshot that cannot be read ends the program, left as it is: starting anew
// would save over it.
function openWishes(folder: string): SyncedWishlist {
  const path = join(folder, SNAPSHOT);
  try {
    return SyncedWishlist.openSnapshot(readFileSync(path));
  } catch (error) {
    const code = (error as NodeJS.ErrnoException).code;
    if (code === 'ENOENT') return new SyncedWishlist();
    const why = error instanceof OrvelError ? error.reason : code && (error as Error).message;
    if (!why) throw error;
    console.error(`wishlist: ${path}: ${why}`);
    process.exit(1);
  }
}

// Replaces the file whole: a temporary file, fsync, rename, and fsync of the
// folder, so a crash leaves the old file or the new one.
function writeAtomically(folder: string, name: string, text: string): void {
  const path = join(folder, name);
  const fd = openSync(`${path}.tmp`, 'w');
  try {
    writeSync(fd, text);
    fsyncSync(fd);
  } finally {
    closeSync(fd);
  }
  renameSync(`${path}.tmp`, path);
  const dir = openSync(folder, 'r');
  try {
    fsyncSync(dir);
  } finally {
    closeSync(dir);
  }
}

// The save step, after every change: the store and the journal in one snapshot.
function save(wishes: SyncedWishlist, folder: string): void {
  writeAtomically(folder, SNAPSHOT, wishes.snapshot());
}

// The status and body of one request, or NOT_SENT or NO_ANSWER; past its
// deadline fetch has aborted it and closed its connection, so that it can no
// longer land after this returns.
async function http(url: string, init: RequestInit = {}): Promise<Answer> {
  try {
    const answer = await fetch(url, { ...init, redirect: 'manual', signal: AbortSignal.timeout(TIMEOUT_MS) });
    const body = await answer.arrayBuffer();
    return { status: answer.status, body };
  } catch (error) {
    const cause = (error as { cause?: NodeJS.ErrnoException }).cause;
    return { status: NEVER_LEFT.has(cause?.code ?? '') ? NOT_SENT : NO_ANSWER, body: new ArrayBuffer(0) };
  }
}

// Loads the list from the service; the token is taken before the request leaves.
async function refresh(wishes: SyncedWishlist, baseUrl: string, folder: string): Promise<void> {
  const token = wishes.beginRefresh();
  const { status, body } = await http(buildMineUrl(baseUrl));
  if (status >= 200 && status < 300 && body.byteLength <= MAX_LIST_BYTES) {
    try {
      wishes.load(token, body); // null (ignored) when a newer list was loaded first
      save(wishes, folder);
      return;
    } catch (error) {
      if (!(error instanceof OrvelError)) throw error; // not JSON: the store stays as it was
    }
  }
  console.log(`the list could not be loaded (HTTP ${Math.max(status, 0)}): showing the saved one`);
}

function show(wishes: SyncedWishlist): void {
  console.log(`wishlist: ${wishes.size} entries`);
  for (const { kind, itemId, title, artist } of wishes) {
    console.log(`  ${kind} ${itemId}: ${title}${artist ? `, by ${artist}` : ''}`);
  }
}

// 2xx: applied; 408, 429, 5xx or not sent: failed, to try again later; no
// answer: unknown, it may have landed, tried again too; other 4xx: refused for good.
function outcomeOf(status: number): Outcome {
  if (status === NO_ANSWER) return Outcome.Unknown;
  if (status >= 200 && status < 300) return Outcome.Accepted;
  if (status >= 400 && status < 500 && status !== 408 && status !== 429) return Outcome.Rejected;
  return Outcome.Failed;
}

// The sync step: sends the oldest unsent change and reports what became of it.
// Its outcome, or null when nothing was left to send.
async function syncOne(wishes: SyncedWishlist, baseUrl: string, folder: string): Promise<Outcome | null> {
  const request = wishes.nextRequest(baseUrl);
  if (request === null) return null;
  save(wishes, folder); // in flight before it leaves: after a crash a later tap is sent, not cancelled
  const { status } = await http(request.url, {
    method: request.method,
    headers: { 'content-type': request.contentType },
    body: request.body,
  });
  const outcome = outcomeOf(status);
  wishes.report(request.opId, outcome);
  return outcome;
}

// Sends every change, waiting longer after each failure or request without an
// answer (no hot loop while the service is down); after MAX_TRIES of them the
// rest waits for a later run.
async function sendChanges(wishes: SyncedWishlist, baseUrl: string, folder: string): Promise<void> {
  let delay = 0.2;
  let failures = 0;
  for (let outcome: Outcome | null; (outcome = await syncOne(wishes, baseUrl, folder)) !== null; ) {
    save(wishes, folder);
    if (outcome === Outcome.Accepted) console.log('sent: accepted');
    if (outcome === Outcome.Rejected) console.log('sent: refused by the service');
    if (outcome !== Outcome.Failed && outcome !== Outcome.Unknown) continue;
    if (++failures === MAX_TRIES) {
      console.log(`sent: failed; ${wishes.unsent} changes kept for later`);
      return;
    }
    const what = outcome === Outcome.Failed ? 'failed' : 'no answer in time';
    console.log(`sent: ${what}, trying again in ${delay.toFixed(1)} s`);
    await sleep(delay * 1000);
    delay = Math.min(delay * 2, 5);
  }
}

if (baseUrl === undefined || folder === undefined || process.argv.length > 5 || !(TIMEOUT_MS > 0)) {
  console.error('usage: node dist/wishlist.js BASE_URL FOLDER [TIMEOUT_SECONDS]');
  process.exit(2);
}
const wishes = openWishes(folder);
try {
  await refresh(wishes, baseUrl, folder);
  show(wishes);
  const opId = wishes.setWished('album', 'al-42', true, 'Blue Hour', 'Ines Varga');
  console.log(opId ? 'wished album al-42' : 'album al-42 is wished already');
  save(wishes, folder);
  await sendChanges(wishes, baseUrl, folder);
  await refresh(wishes, baseUrl, folder);
  show(wishes);
  console.log(`changes not yet confirmed: ${wishes.held}`);
} finally {
  wishes.close();
}
