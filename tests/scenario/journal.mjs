// SPDX-License-Identifier: MIT
// The journal's cross-language scenario through the Node package (see run.sh).
import { readFileSync } from 'node:fs';

import * as orvel from '../../bindings/node/index.mjs';
import library from '../../bindings/node/lib/library.cjs';
import synced from '../../bindings/node/lib/synced.cjs';

const BASE = 'https://api.example.test//';
const NEW_TITLE = 'Neu \u00fc \u{1f3a7}';
const ARTIST = 'He said "hi"\n';
const { Outcome } = orvel;

const lines = [];
const out = (line) => lines.push(line);
// A call that throws OrvelError prints as the C call's -1 with its reason.
const failed = (call) => {
  try {
    return `${call()}`;
  } catch (error) {
    if (!(error instanceof orvel.OrvelError)) throw error;
    return `-1 error=${error.reason}`;
  }
};
const counts = (w) =>
  out(`counts: held ${w.held} unsent ${w.unsent} in-flight ${w.inFlight} confirming ${w.confirming}`);
const send = (w) => {
  const request = w.nextRequest(BASE);
  out(request === null ? 'send: none' : `send: ${request.opId} ${request.json}`);
  return request === null ? 0 : request.opId;
};
const report = (w, op, outcome) => failed(() => (w.report(op, outcome), 0));
const reportOutcome = (w, op, outcome) => out(`report: 0 store ${w.report(op, outcome)}`);
// An entry's status as the C scenario prints it: the call's result, then every member.
const status = (w, kind, itemId) => {
  let e;
  try {
    e = w.status(kind, itemId);
  } catch (error) {
    if (!(error instanceof orvel.OrvelError)) throw error;
    return out(`status: -1 error=${error.reason}`);
  }
  const wished = e.wished === null ? -1 : Number(e.wished);
  return out(`status: ${Number(e.state !== orvel.EntryState.Synced)} state ${e.state} wished ${wished} op ${e.opId} ` +
    `attempts ${e.attempts} uncertain ${e.uncertain}`);
};
// A stale load prints as the C call's result and the journal's reason for it.
const load = (w, token, response) => {
  const count = w.load(token, response);
  return count === null ? `${synced.STALE} error=${library.loadSyncLibrary().lastError()}` : `${count}`;
};

const response = readFileSync(process.argv[2]);
let w = new orvel.SyncedWishlist();
out(`version: ${orvel.syncVersion()} abi ${orvel.syncAbiVersion()}`);
const first = w.beginRefresh();
out(`refresh: ${first} load ${load(w, first, response)}`);
out(`set: ${w.setWished('album', 'al-new', true, NEW_TITLE, ARTIST)}`);
out(`set: ${w.setWished('track', 'tr-3', false)}`);
out(`set: ${w.setWished('track', 'tr-none', false)}`);
out(`set: ${w.setWished('playlist', 'pl-9', true, 'P', '')}`);
out(`set: ${w.setWished('album', 'al-1', false, 'Caf\u00e9', '')}`);
counts(w);
const [a, b, c] = [send(w), send(w), send(w)];
out(`report: ${report(w, a, Outcome.Accepted)}`);
out(`report: ${report(w, b, Outcome.Rejected)} has ${Number(w.has('track', 'tr-3'))}`);
out(`report: ${report(w, c, Outcome.Failed)}`);
out(`report-again: ${report(w, c, Outcome.Failed)}`);
counts(w);
const older = w.beginRefresh();
const newer = w.beginRefresh();
out(`refresh: ${newer} load ${load(w, newer, response)}`);
out(`refresh: ${older} load ${load(w, older, '[]')}`);
counts(w);
const journalText = w.save();
const storeText = w.exportJson();
out(`saved-journal: ${journalText}`);
out(`saved-store: ${storeText}`);

// A restart: made anew from what was saved.
w.close();
w = orvel.SyncedWishlist.restore(journalText, storeText);
out(`restart: store ${w.size} journal ${w.held}`);
counts(w);
out(`bad-kind: ${failed(() => w.setWished('Album', 'x', true))}`);
out(`bad-utf8: ${failed(() => w.setWished('album', 'x', true, Buffer.from([0xff])))}`);
const [d, e] = [send(w), send(w)];
out(`report: ${report(w, d, Outcome.Accepted)} ${report(w, e, Outcome.Accepted)}`);
send(w);
const last = w.beginRefresh();
out(`refresh: ${last} load ${load(w, last, response)}`);
counts(w);
out(`journal: ${w.save()}`);
out(`store: ${w.exportJson()}`);

// Since 1.1: what a report did to the store, an unknown outcome, an entry's
// status, and one snapshot.
out(`set: ${w.setWished('artist', 'ar-new', true, '', 'Nova')}`);
out(`set: ${w.setWished('artist', 'ar-1', false, '', 'Velvetine')}`);
reportOutcome(w, send(w), Outcome.Unknown);
status(w, 'artist', 'ar-new');
out(`uncertain: ${w.uncertain}`);
reportOutcome(w, send(w), Outcome.Rejected);
reportOutcome(w, send(w), Outcome.Rejected);
status(w, 'artist', 'ar-new');
status(w, 'artist', 'ar-1');
status(w, 'Artist', 'ar-1');
out(`set: ${w.setWished('track', 'tr-snap', true, 'S', '')}`);
send(w);
const snapshot = w.snapshot();
out(`snapshot: ${snapshot}`);
w.close();

// A restart from the snapshot alone.
w = orvel.SyncedWishlist.openSnapshot(snapshot);
out(`reopened: store ${w.size}`);
counts(w);
out(`uncertain: ${w.uncertain}`);
status(w, 'track', 'tr-snap');
out(`reopen-bad: ${failed(() => orvel.SyncedWishlist.openSnapshot('{"format":"other"}'))}`);
w.close();
process.stdout.write(Buffer.from(lines.map((l) => `${l}\n`).join(''), 'utf8'));
