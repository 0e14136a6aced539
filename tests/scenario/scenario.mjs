// SPDX-License-Identifier: MIT
// The cross-language scenario through the Node package (see run.sh).
import { readFileSync } from 'node:fs';

import * as orvel from '../../bindings/node/index.mjs';

const BASE = 'https://api.example.test//';
const NEW_TITLE = 'Neu \u00fc \u{1f3a7}';
const ARTIST = 'He said "hi"\n';

const lines = [];
const out = (line) => lines.push(line);
const text = (label, build) => {
  try {
    out(`${label}: ${build()}`);
  } catch (error) {
    if (!(error instanceof orvel.OrvelError)) throw error;
    out(`${label}: (none) error=${error.reason}`);
  }
};

const response = readFileSync(process.argv[2]);
const w = new orvel.Wishlist();
out(`version: ${orvel.version()} abi ${orvel.abiVersion()}`);
out(`load: ${w.load(response)}`);
out(`toggle-in: ${Number(w.toggle('album', 'al-new', NEW_TITLE))}`);
out(`toggle-out: ${Number(w.toggle('track', 'tr-3'))}`);
out(`has: ${Number(w.has('album', 'al-new'))} ${Number(w.has('track', 'tr-3'))}`);
out(`count: ${w.size}`);
text('mine-url', () => orvel.buildMineUrl(BASE));
text('request', () => orvel.buildWishRequestJson(true, 'album', 'al-new', NEW_TITLE, ARTIST, BASE));
text('request-bad-utf8', () => orvel.buildWishRequestJson(false, 'album', 'al-new', Buffer.from([0xff, 0xfe]), null, BASE));
try {
  w.load(Buffer.from([0x5b, 0x22, 0xff, 0x22, 0x5d]));
} catch (error) {
  out(`load-bad-utf8: -1 error=${error.reason}`);
}
text('export', () => w.exportJson());
// Each field as its length in UTF-8 bytes and its text, as C prints it.
const field = (value) => ` ${Buffer.byteLength(value)}:${value}`;
let index = 0;
for (const { kind, itemId, title, artist } of w) {
  out(`entry ${index++}: ${kind}${field(itemId)}${field(title)}${field(artist)}`);
}
w.close();
process.stdout.write(Buffer.from(lines.map((l) => `${l}\n`).join(''), 'utf8'));
