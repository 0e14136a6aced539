// SPDX-License-Identifier: MIT
'use strict';
// The client's folder: the journal's one snapshot, written so that a crash
// leaves the old one or the new one, never a mix (wishlist.snapshot.tmp, its
// data on the disk, renamed over wishlist.snapshot, the rename on the disk);
// an installation id for Idempotency-Keys; and a lock held while a client has
// the folder open (flock: the system drops it when the process dies).

const fs = require('node:fs');
const path = require('node:path');
const { randomUUID } = require('node:crypto');
const koffi = require('koffi');
const { OrvelError } = require('../errors.cjs');

const SNAPSHOT = 'wishlist.snapshot';
const TEMPORARY = 'wishlist.snapshot.tmp';
// The background writer's own: two writers never share a temporary file.
const BACKGROUND_TEMPORARY = 'wishlist.snapshot.outcomes.tmp';
const LOCK = 'lock';
const INSTALLATION = 'installation-id';
const LOCK_EX = 2;
const LOCK_NB = 4;

/** The client's folder cannot be used: `path` names the folder or the file. */
class StateError extends OrvelError {
  constructor(message, where) {
    super(message);
    this.name = 'StateError';
    this.path = where;
  }
}

let flockFunction = null;
// flock(2) from the C library koffi can load (glibc's, else musl's).
function flock() {
  if (flockFunction === null) {
    let libc = null;
    for (const name of ['libc.so.6', 'libc.so', 'libc.musl-x86_64.so.1', 'libc.musl-aarch64.so.1']) {
      try {
        libc = koffi.load(name);
        break;
      } catch {
        // the next name
      }
    }
    if (libc === null) throw new OrvelError('cannot load the C library for flock()');
    flockFunction = libc.func('int flock(int fd, int operation)');
  }
  return flockFunction;
}

/** Writes `data` to `file` whole or not at all, through the file operations `ops`. */
function writeAtomically(ops, folder, name, data) {
  const temporary = path.join(folder, `${name}.tmp`);
  const fd = ops.openSync(temporary, 'w', 0o600);
  try {
    ops.writeFileSync(fd, data);
    ops.fsyncSync(fd); // the data is on the disk before the name points at it
  } finally {
    ops.closeSync(fd);
  }
  ops.renameSync(temporary, path.join(folder, name));
  const dir = ops.openSync(folder, 'r');
  try {
    ops.fsyncSync(dir); // and the rename is on the disk too
  } finally {
    ops.closeSync(dir);
  }
}

class StateDir {
  #ops;
  #lockFd;

  /** Opens (creating it) and locks `folder`; a StateError when another client holds it. */
  constructor(folder, ops = fs) {
    if (typeof folder !== 'string' || folder === '') throw new TypeError('stateDir must be a non-empty string');
    this.folder = path.resolve(folder);
    this.snapshotPath = path.join(this.folder, SNAPSHOT);
    this.#ops = ops;
    try {
      ops.mkdirSync(this.folder, { recursive: true, mode: 0o700 });
    } catch (error) {
      throw new StateError(`cannot create the state folder ${this.folder} (${error.code ?? error.message})`, this.folder);
    }
    const lockPath = path.join(this.folder, LOCK);
    let fd;
    try {
      fd = ops.openSync(lockPath, 'a', 0o600);
    } catch (error) {
      throw new StateError(`cannot open the lock ${lockPath} (${error.code ?? error.message})`, lockPath);
    }
    if (flock()(fd, LOCK_EX | LOCK_NB) !== 0) {
      ops.closeSync(fd);
      throw new StateError(`the state folder ${this.folder} is in use by another client (${lockPath} is locked)`, this.folder);
    }
    this.#lockFd = fd;
  }

  /** The saved snapshot's bytes, or null when there is none yet. */
  readSnapshot() {
    try {
      return this.#ops.readFileSync(this.snapshotPath);
    } catch (error) {
      if (error.code === 'ENOENT') return null;
      throw new StateError(`cannot read the saved state ${this.snapshotPath} (${error.code ?? error.message})`, this.snapshotPath);
    }
  }

  /**
   * This installation's id. A folder without a snapshot starts a new journal,
   * whose operation ids start again: it gets a new id, so that no key repeats.
   */
  installationId(fresh) {
    const file = path.join(this.folder, INSTALLATION);
    if (!fresh) {
      try {
        const id = this.#ops.readFileSync(file, 'utf8').trim();
        if (/^[0-9a-f-]{36}$/.test(id)) return id;
      } catch (error) {
        if (error.code !== 'ENOENT') throw new StateError(`cannot read ${file} (${error.code ?? error.message})`, file);
      }
    }
    const id = randomUUID();
    writeAtomically(this.#ops, this.folder, INSTALLATION, `${id}\n`);
    return id;
  }

  /** Replaces the saved snapshot with `text`, atomically and durably, before it returns. */
  saveSnapshot(text) {
    writeAtomically(this.#ops, this.folder, SNAPSHOT, text);
  }

  /**
   * The same write with its slow parts off the thread, so that requests go on
   * meanwhile: written and flushed through a temporary file of its own (a
   * saveSnapshot() meanwhile never touches it), renamed on this thread, then
   * the folder flushed. `superseded()` is asked just before the rename: when
   * a saveSnapshot() ran meanwhile, its newer snapshot stands and this one is
   * dropped. Resolves to whether this one was put in place.
   */
  async saveSnapshotInBackground(text, superseded) {
    const ops = this.#ops;
    const temporary = path.join(this.folder, BACKGROUND_TEMPORARY);
    const file = await ops.promises.open(temporary, 'w', 0o600);
    try {
      await file.writeFile(text);
      await file.sync(); // the data is on the disk before the name points at it
    } finally {
      await file.close();
    }
    if (superseded()) return false;
    ops.renameSync(temporary, this.snapshotPath); // on this thread: no newer save can come between
    const dir = await ops.promises.open(this.folder, 'r');
    try {
      await dir.sync();
    } finally {
      await dir.close();
    }
    return true;
  }

  /** Releases the lock; harmless twice. */
  close() {
    if (this.#lockFd === undefined) return;
    const fd = this.#lockFd;
    this.#lockFd = undefined;
    this.#ops.closeSync(fd); // closing the last descriptor drops the flock
  }
}

module.exports = { BACKGROUND_TEMPORARY, SNAPSHOT, StateDir, StateError, TEMPORARY, writeAtomically };
