// The README's worked example, run as it stands against the local service:
// a restart in the middle, a 503, an answer after the deadline and an entry
// the service refuses, ending with the local store equal to the service's set.
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, symlinkSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { startService } from './service.mjs';

const packageDir = fileURLToPath(new URL('..', import.meta.url));

const HEADING = '### The worked example';
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

test('the worked example keeps every change through failures and a restart', async () => {
  const { project, file } = exampleModule();
  const { openWishlist, saveWishlist, sendChanges, refresh } = await import(file);
  const service = await startService({
    initial: [{ kind: 'playlist', itemId: 'pl-7', title: 'Road', artist: 'Mix' }],
    refused: [['track', 'tr-refused']],
    misbehave: { 2: 'fail', 4: 'late' },
  });
  after(() => service.close());
  const folder = join(project, 'data');
  mkdirSync(folder);
  const timeout = 300;

  let wishes = openWishlist(folder);
  assert.equal(wishes.size, 0);
  wishes.setWished('album', 'al-1', true, 'Title', 'Artist');
  wishes.setWished('track', 'tr-refused', true, 'No', 'Way');
  wishes.setWished('artist', 'ar-1', true, '', 'Velvetine');
  saveWishlist(wishes, folder);
  // POST 1 is accepted, POST 2 answered 503: the loop stops there.
  assert.equal(await sendChanges(wishes, folder, service.baseUrl, timeout), false);
  assert.deepEqual([wishes.unsent, wishes.confirming], [2, 1]);

  // A restart: the app is made anew from its two files.
  wishes.close();
  wishes = openWishlist(folder);
  assert.deepEqual([wishes.held, wishes.unsent, wishes.confirming], [3, 2, 1]);
  assert.ok(wishes.has('track', 'tr-refused') && wishes.has('artist', 'ar-1') && wishes.has('album', 'al-1'));
  wishes.setWished('album', 'al-1', false);
  saveWishlist(wishes, folder);

  // POST 3 is refused for good (undone at once); POST 4 is applied but
  // answered too late: failed, it is sent again next time.
  assert.equal(await sendChanges(wishes, folder, service.baseUrl, timeout), false);
  assert.equal(wishes.has('track', 'tr-refused'), false);
  assert.equal(await sendChanges(wishes, folder, service.baseUrl, timeout), true);
  assert.deepEqual(
    service.posts.map((p) => `${p.op} ${p.itemId}`),
    ['add al-1', 'add tr-refused', 'add tr-refused', 'add ar-1', 'add ar-1', 'remove al-1'],
  );

  assert.equal(await refresh(wishes, folder, service.baseUrl, timeout), 2);
  assert.deepEqual(byKey([...wishes]), byKey(service.entries()));
  assert.equal(wishes.held, 0);
  wishes.close();

  // What was saved last is that same state.
  wishes = openWishlist(folder);
  assert.deepEqual(byKey([...wishes]), byKey(service.entries()));
  assert.equal(wishes.held, 0);
  wishes.close();
});

// The repository's README shows the same code, where it shows the example.
const topReadme = join(packageDir, '..', '..', 'README.md');
const topBlock = existsSync(topReadme)
  ? [...readFileSync(topReadme, 'utf8').matchAll(/```js\n([\s\S]*?)```/g)].map((m) => m[1]).find((b) => b.includes('openWishlist'))
  : undefined;
test("the repository's README shows the same worked example", { skip: !topBlock && 'no Node worked example there' }, () => {
  assert.equal(topBlock, exampleCode());
});
