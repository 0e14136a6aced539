// SPDX-License-Identifier: MIT
'use strict';
// The native objects a JS object owns are released by close(), by the
// collector when the object is forgotten, and, on a worker thread, when the
// worker exits: its collector never runs the finalizers then, so whatever is
// still open is released by the worker's 'exit' event. A worker stopped with
// worker.terminate() has no such event; what it left open stays allocated.

const { isMainThread } = require('node:worker_threads');

// Each owner: { handles, free } with handles null once released.
const open = new Set();
const forgotten = new FinalizationRegistry((owner) => release(owner));
let exitHooked = false;

/** Records that `object` owns `handles`, released by free(handles); returns the owner record. */
function own(object, handles, free) {
  const owner = { handles, free };
  open.add(owner);
  forgotten.register(object, owner, owner);
  if (!isMainThread && !exitHooked) {
    exitHooked = true;
    process.once('exit', () => {
      for (const o of open) release(o);
    });
  }
  return owner;
}

/** Releases what an owner holds; harmless when already released. */
function release(owner) {
  if (owner.handles === null) return;
  const { handles } = owner;
  owner.handles = null;
  open.delete(owner);
  forgotten.unregister(owner);
  owner.free(handles);
}

module.exports = { own, release };
