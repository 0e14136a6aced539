// SPDX-License-Identifier: MIT
// The README's worked example, run as it stands against the local service:
// a restart in the middle, a 503, an answer after the deadline and an entry
// the service refuses, ending with the local store equal to the service's set;
// and against no service at all.
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, symlinkSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { closedPort } from '../test-client/service.mjs';
import { startService } from './service.mjs';

const packageDir = fileURLToPath(new URL('..', import.meta.url));

const HEADING = '### Your own loop';
// The README's first js block under its heading.
function exampleCode() {
  const readme = readFileSync(join(packageDir, 'README.md'), 'utf8');
  const section = readme.slice(readme.indexOf(`\n${HEADING}\n`));
  const block = /```js\n([\s\S]*?)```/.exec(section);
  assert.ok(readme.includes(`\n${HEADING}\n`) && block, `no js block under '${HEADING}' in README.md`);
  return block[1];
}

// The example as a module of a project that has the package installed (a link to this folder).
function exampleModule() {
  const project = mkdtempSync(join(tmpdir(), 'orvel-example-'));
  after(() => rmSync(project, { recursive: true, force: true }));
  mkdirSync(join(project, 'node_modules'));
  symlinkSync(packageDir, join(project, 'node_modules', 'orvel'), 'dir');
  writeFileSync(join(project, 'example.mjs'), exampleCode());
  return { project, file: join(project, 'example.mjs') };
}

const byKey = (entries) =>
  entries.map(({ kind, itemId, title, artist }) => ({ kind, itemId, title, artist }))
    .sort((a, b) => `${a.kind} ${a.itemId}`.localeCompare(`${b.kind} ${b.itemId}`));

test('the worked example keeps every change through failures, a timeout and a restart', async () => {
  const { project, file } = exampleModule();
  const { openWishlist, saveWishlist, sendChanges, sync } = await import(file);
  const { EntryState } = await import('../index.mjs');
  const service = await startService({
    initial: [{ kind: 'playlist', itemId: 'pl-7', title: 'Road', artist: 'Mix' }],
    refused: [['track', 'tr-refused']],
    misbehave: { 1: 'fail', 4: 'late' },
    lateMs: 8000,
  });
  after(() => service.close());
  mkdirSync(join(project, 'data'));
  const path = join(project, 'data', 'wishes.json');
  // Generous under load: only the deliberately late answer (8 s) passes it.
  const timeoutMs = 4000;

  let wishes = openWishlist(path);
  assert.equal(wishes.size, 0);
  wishes.setWished('album', 'al-1', true, 'Title', 'Artist');
  wishes.setWished('track', 'tr-refused', true, 'No', 'Way');
  wishes.setWished('artist', 'ar-1', true, '', 'Velvetine');
  saveWishlist(wishes, path);
  // One pass: POST 1 is answered 503, and the two behind it still go out:
  // one refused for good (undone at once), one accepted.
  assert.equal(await sendChanges(wishes, path, service.baseUrl, timeoutMs), false);
  assert.deepEqual([wishes.unsent, wishes.confirming, wishes.has('track', 'tr-refused')], [1, 1, false]);

  // A restart: the app is made anew from its snapshot, the one file it keeps.
  wishes.close();
  assert.deepEqual(readdirSync(join(project, 'data')), ['wishes.json']);
  wishes = openWishlist(path);
  assert.deepEqual([wishes.held, wishes.unsent, wishes.confirming], [2, 1, 1]);
  wishes.setWished('artist', 'ar-2', true, '', 'Other');
  saveWishlist(wishes, path);

  // POST 4 is applied but answered after the deadline: unknown, sent again
  // behind ar-2, after a wait.
  assert.equal(await sync(wishes, path, service.baseUrl, { timeoutMs, firstWaitMs: 10, longestWaitMs: 40, passes: 4 }), true);
  assert.deepEqual(
    service.posts.map((p) => `${p.op} ${p.itemId}`),
    ['add al-1', 'add tr-refused', 'add ar-1', 'add al-1', 'add ar-2', 'add al-1'],
  );
  assert.deepEqual(byKey([...wishes]), byKey(service.entries()));
  assert.equal(wishes.held, 0);
  // The late answer was reported unknown: the journal still watches that entry.
  assert.equal(wishes.status('album', 'al-1').state, EntryState.Uncertain);
  wishes.close();

  // What was saved last is that same state.
  wishes = openWishlist(path);
  assert.deepEqual(byKey([...wishes]), byKey(service.entries()));
  assert.deepEqual([wishes.held, wishes.uncertain], [0, 1]);
  wishes.close();
});

test('a service that cannot be reached keeps every change, as failed rather than unknown', async () => {
  const { project, file } = exampleModule();
  const { openWishlist, saveWishlist, sync } = await import(file);
  const path = join(project, 'wishes.json');
  const wishes = openWishlist(path);
  try {
    wishes.setWished('album', 'al-1', true, 'T', 'A');
    saveWishlist(wishes, path);
    const options = { timeoutMs: 2000, firstWaitMs: 10, longestWaitMs: 20, passes: 3 };
    assert.equal(await sync(wishes, path, `http://127.0.0.1:${await closedPort()}`, options), false);
    assert.deepEqual([wishes.unsent, wishes.uncertain, wishes.status('album', 'al-1').attempts], [1, 0, 3]);
  } finally {
    wishes.close();
  }
  const again = openWishlist(path);
  assert.equal(again.unsent, 1);
  again.close();
});

// The repository's README shows the same code, where it shows this example (one that
// leaves redirects unfollowed: not the earlier one, which followed them anywhere).
const topReadme = join(packageDir, '..', '..', 'README.md');
const topBlock = existsSync(topReadme)
  ? [...readFileSync(topReadme, 'utf8').matchAll(/```js\n([\s\S]*?)```/g)].map((m) => m[1]).find((b) => b.includes('openWishlist') && b.includes("redirect: 'manual'"))
  : undefined;
test("the repository's README shows the same worked example", { skip: !topBlock && 'no Node worked example there' }, () => {
  assert.equal(topBlock, exampleCode());
});
