// SPDX-License-Identifier: MIT
'use strict';
// Finding liborvel and liborvel-sync, loading each once per process, and
// declaring their functions from the C prototypes below.

const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');
const { checkoutLibraryDir } = require('./checkout.cjs');
const { LibraryNotFoundError, OrvelError } = require('./errors.cjs');

const ABI_VERSION = 1;
const SYNC_ABI_VERSION = 1;

// The functions of orvel.h and orvel_sync.h, written as the headers declare
// them, one table per library. Each is bound under its key; a `char *` result
// is a text the caller owns: it is copied into a JS string and then handed to
// the table's `free` function, once. Such a function is bound a second time
// under `bytes.KEY`, giving the text's bytes as they are (a Buffer, or null),
// for callers that only write them out.
const PROTOTYPES = Object.freeze({
  version: 'const char *orvel_version(void)',
  abiVersion: 'int32_t orvel_abi_version(void)',
  lastError: 'const char *orvel_last_error(void)',
  free: 'void orvel_free(void *text)',
  create: 'orvel_store *orvel_create(void)',
  destroy: 'void orvel_destroy(orvel_store *store)',
  validateKind: 'int32_t orvel_validate_kind(const char *kind)',
  count: 'int32_t orvel_count(const orvel_store *store)',
  isWished: 'int32_t orvel_is_wished(const orvel_store *store, const char *kind, const char *item_id)',
  toggle:
    'int32_t orvel_apply_local_toggle(orvel_store *store, const char *kind, const char *item_id, ' +
    'const char *title, const char *artist)',
  buildMineUrl: 'char *orvel_build_mine_url(const char *base_url)',
  buildWishRequest:
    'char *orvel_build_wish_request_json(const char *base_url, int32_t add, const char *kind, ' +
    'const char *item_id, const char *title, const char *artist)',
  load: 'int32_t orvel_load_mine_json(orvel_store *store, const char *json, size_t len)',
  exportJson: 'char *orvel_export_json(const orvel_store *store)',
  selftest: 'int32_t orvel_selftest(void)',
});

const SYNC_PROTOTYPES = Object.freeze({
  version: 'const char *orvel_sync_version(void)',
  abiVersion: 'int32_t orvel_sync_abi_version(void)',
  lastError: 'const char *orvel_sync_last_error(void)',
  free: 'void orvel_sync_free(void *text)',
  create: 'orvel_journal *orvel_sync_create(orvel_store *store)',
  destroy: 'void orvel_sync_destroy(orvel_journal *journal)',
  set:
    'int64_t orvel_sync_set(orvel_journal *journal, int32_t wished, const char *kind, ' +
    'const char *item_id, const char *title, const char *artist)',
  nextRequest: 'char *orvel_sync_next_request(orvel_journal *journal, const char *base_url, int64_t *op_id)',
  report: 'int32_t orvel_sync_report(orvel_journal *journal, int64_t op_id, int32_t outcome)',
  beginRefresh: 'int64_t orvel_sync_begin_refresh(orvel_journal *journal)',
  load: 'int32_t orvel_sync_load(orvel_journal *journal, int64_t token, const char *json, size_t len)',
  export: 'char *orvel_sync_export(const orvel_journal *journal)',
  restore: 'int32_t orvel_sync_restore(orvel_journal *journal, const char *json, size_t len)',
  count: 'int32_t orvel_sync_count(const orvel_journal *journal, int32_t which)',
  reportOutcome:
    'int32_t orvel_sync_report_outcome(orvel_journal *journal, int64_t op_id, int32_t outcome, int32_t *store_change)',
  entryStatus:
    'int32_t orvel_sync_entry_status(const orvel_journal *journal, const char *kind, const char *item_id, ' +
    'orvel_sync_entry *entry)',
  snapshot: 'char *orvel_sync_snapshot(const orvel_journal *journal)',
  openSnapshot: 'orvel_journal *orvel_sync_open_snapshot(const char *json, size_t len, orvel_store **store)',
});

// The structs of orvel_sync.h, their members in order as the header declares them.
const SYNC_STRUCTS = Object.freeze({
  orvel_sync_entry: Object.freeze({
    state: 'int32_t',
    wished: 'int32_t',
    op_id: 'int64_t',
    attempts: 'uint32_t',
    uncertain: 'uint32_t',
  }),
});

// The opaque handles, as types of this copy of the package: koffi refuses a
// journal where a store is expected. No type is registered under a name, so
// two copies of the package can share one koffi.
const STORE = koffi.pointer(koffi.opaque());
const JOURNAL = koffi.pointer(koffi.opaque());
const HANDLE_TYPES = {
  'orvel_store *': STORE,
  'const orvel_store *': STORE,
  'orvel_journal *': JOURNAL,
  'const orvel_journal *': JOURNAL,
  'orvel_store **': koffi.out(koffi.pointer(STORE)),
  'int32_t *': koffi.out(koffi.pointer('int32_t')),
  'int64_t *': koffi.out(koffi.pointer('int64_t')),
  'orvel_sync_entry *': koffi.out(koffi.pointer(koffi.struct(SYNC_STRUCTS.orvel_sync_entry))),
};

// "RESULT NAME(TYPE NAME, ...)" into the name, the result type and the argument types.
function parsePrototype(prototype) {
  const match = /^(.+?)\s*\b(\w+)\((.*)\)$/.exec(prototype);
  if (match === null) throw new Error(`not a prototype: ${prototype}`);
  const [, result, name, list] = match;
  const types = list === 'void' ? [] : list.split(',').map((argument) => argument.trim().replace(/\s*\b\w+$/, ''));
  return { name, result, types };
}

// Binds every function of one table; `char *` results are owned texts.
function bind(lib, prototypes) {
  const fns = { bytes: {} };
  const owned = koffi.disposable('const char *', (pointer) => fns.free(pointer));
  const typeOf = (text) => HANDLE_TYPES[text] ?? text;
  for (const [key, prototype] of Object.entries(prototypes)) {
    const { name, result, types } = parsePrototype(prototype);
    fns[key] = lib.func(name, result === 'char *' ? owned : typeOf(result), types.map(typeOf));
    if (result === 'char *') fns.bytes[key] = ownedBytes(lib.func(name, 'void *', types.map(typeOf)), fns);
  }
  return fns;
}

// A function giving an owned text as its bytes: copied once (up to its NUL), then freed.
function ownedBytes(raw, fns) {
  return (...args) => {
    const pointer = raw(...args);
    if (pointer === null) return null;
    try {
      const bytes = koffi.decode(pointer, 'uint8_t', -1);
      return Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    } finally {
      fns.free(pointer);
    }
  };
}

// What each library is, and where else than the common places it may be.
const CORE = {
  name: 'liborvel',
  stem: 'orvel',
  abiVersion: ABI_VERSION,
  prototypes: PROTOTYPES,
  envVariable: 'ORVEL_LIBRARY',
  argument: 'path',
  debianPackage: 'liborvel1',
  subfolders: [''],
};
const SYNC = {
  name: 'liborvel-sync',
  stem: 'orvel-sync',
  abiVersion: SYNC_ABI_VERSION,
  prototypes: SYNC_PROTOTYPES,
  envVariable: 'ORVEL_SYNC_LIBRARY',
  argument: 'syncPath',
  debianPackage: 'liborvel-sync1',
  // A build tree puts it in sync/ below liborvel's folder; an install beside it.
  subfolders: ['', 'sync'],
};

/** The file names of a library on this platform, most specific first. */
function fileNames(wanted) {
  if (process.platform === 'darwin') return [`lib${wanted.stem}.${wanted.abiVersion}.dylib`, `lib${wanted.stem}.dylib`];
  if (process.platform === 'win32') return [`${wanted.stem}.dll`, `lib${wanted.stem}.dll`];
  return [`lib${wanted.stem}.so.${wanted.abiVersion}`];
}

// The existing files of a library in each folder, in order.
function inFolders(wanted, folders) {
  return folders
    .flatMap((folder) => wanted.subfolders.flatMap((sub) => fileNames(wanted).map((n) => path.join(folder, sub, n))))
    .filter((candidate) => fs.existsSync(candidate));
}

function recordedFolder() {
  try {
    return JSON.parse(fs.readFileSync(path.join(__dirname, '..', 'installed.json'), 'utf8')).libraryDir || null;
  } catch {
    return null; // No record: this copy was not installed by cmake --install nor packed from a checkout.
  }
}

const loaded = new Map(); // wanted -> { fns, from }

// Where a library is looked for, in this order; each place gives its
// candidates. A place marked alone, when it gives any, is the only one tried.
const PLACES = {
  argument: (wanted, given) => ({ alone: true, origin: `the ${wanted.argument} given to loadLibrary`, candidates: given ? [given] : [] }),
  environment: (wanted) => {
    const value = process.env[wanted.envVariable];
    return { alone: true, origin: `$${wanted.envVariable}`, candidates: value ? [value] : [] };
  },
  coreFolder: (wanted) => {
    const core = loaded.get(CORE);
    const folder = wanted !== CORE && core && path.isAbsolute(core.from) ? path.dirname(core.from) : null;
    return { origin: `the folder ${CORE.name} was loaded from`, candidates: folder ? inFolders(wanted, [folder]) : [] };
  },
  recorded: (wanted) => {
    const folder = recordedFolder();
    return { origin: 'the folder recorded at installation', candidates: folder ? inFolders(wanted, [folder]) : [] };
  },
  package: (wanted) => ({ origin: 'the package folder', candidates: inFolders(wanted, [path.join(__dirname, '..')]) }),
  checkout: (wanted) => {
    const folder = checkoutLibraryDir(path.join(__dirname, '..'));
    return { origin: "the checkout's build", candidates: folder ? inFolders(wanted, [folder]) : [] };
  },
  loader: (wanted) => ({ origin: 'the loader path', candidates: fileNames(wanted) }),
};
/** The places searched for each library, in order (see PLACES). */
const SEARCH_ORDER = Object.freeze(Object.keys(PLACES));

function candidatesOf(wanted, given) {
  const found = [];
  for (const place of SEARCH_ORDER) {
    const { alone, origin, candidates } = PLACES[place](wanted, given);
    if (candidates.length === 0) continue;
    const labelled = candidates.map((candidate) => ({ origin, candidate }));
    if (alone) return labelled;
    for (const entry of labelled) if (!found.some((f) => f.candidate === entry.candidate)) found.push(entry);
  }
  return found;
}

function open(wanted, candidate) {
  const lib = koffi.load(candidate);
  let fns;
  try {
    fns = bind(lib, wanted.prototypes);
  } catch (error) {
    throw new OrvelError(`${candidate} is not ${wanted.name} (${error.message})`);
  }
  const found = fns.abiVersion();
  if (found !== wanted.abiVersion) {
    throw new OrvelError(`${candidate} has interface version ${found}; this package needs ${wanted.abiVersion}`);
  }
  return fns;
}

function fixFor(wanted) {
  const file = fileNames(wanted)[0];
  const beside = wanted === CORE ? '' : `, or put it beside ${fileNames(CORE)[0]}`;
  return (
    `Fix: pass the library's path to loadLibrary(${wanted === CORE ? 'path' : 'path, syncPath'}), or set ` +
    `${wanted.envVariable}=/path/to/${file}${beside}, or install ${wanted.name} ` +
    `(apt install ${wanted.debianPackage}, or cmake --install with its lib folder on the ` +
    'loader path: ldconfig or LD_LIBRARY_PATH).'
  );
}

// Loads one library once per process (per copy of this package).
function loadOnce(wanted, given) {
  const done = loaded.get(wanted);
  if (done) {
    if (given !== undefined && given !== null && path.resolve(given) !== done.from) {
      throw new OrvelError(`${wanted.name} is already loaded from ${done.from}; cannot switch to ${given}`);
    }
    return done.fns;
  }
  if (given !== undefined && given !== null && typeof given !== 'string') {
    throw new TypeError(`${wanted.argument} must be a string`);
  }
  const tried = [];
  for (const { origin, candidate } of candidatesOf(wanted, given)) {
    let fns;
    try {
      fns = open(wanted, candidate);
    } catch (error) {
      tried.push({ place: `${candidate} (${origin})`, why: error.message });
      continue;
    }
    loaded.set(wanted, { fns, from: candidate.includes(path.sep) ? path.resolve(candidate) : candidate });
    return fns;
  }
  throw new LibraryNotFoundError(wanted.name, tried, fixFor(wanted));
}

/**
 * Loads liborvel once per process: `libraryPath`, then $ORVEL_LIBRARY, are used
 * alone when given; otherwise the recorded install folder, the package folder,
 * the build folder of the checkout the package sits in and the loader path are
 * tried in turn.
 */
function loadLibrary(libraryPath) {
  return loadOnce(CORE, libraryPath);
}

/**
 * Loads liborvel-sync once per process, after liborvel (which it uses): found
 * as liborvel is, with $ORVEL_SYNC_LIBRARY, and first in liborvel's own folder.
 */
function loadSyncLibrary(syncLibraryPath) {
  loadLibrary();
  return loadOnce(SYNC, syncLibraryPath);
}

module.exports = {
  ABI_VERSION,
  LIBRARIES: Object.freeze(
    Object.fromEntries(
      [['core', CORE], ['sync', SYNC]].map(([key, wanted]) => [
        key,
        Object.freeze({
          name: wanted.name,
          files: Object.freeze(fileNames(wanted)),
          envVariable: wanted.envVariable,
          abiVersion: wanted.abiVersion,
        }),
      ]),
    ),
  ),
  PROTOTYPES,
  SEARCH_ORDER,
  SYNC_ABI_VERSION,
  SYNC_PROTOTYPES,
  SYNC_STRUCTS,
  loadLibrary,
  loadSyncLibrary,
};
