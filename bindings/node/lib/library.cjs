'use strict';
// Finding liborvel, loading it once per process, and declaring its functions
// from the C prototypes below.

const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');
const { checkoutLibraryDir } = require('./checkout.cjs');
const { LibraryNotFoundError, OrvelError } = require('./errors.cjs');

const ABI_VERSION = 1;

// The functions of orvel.h, written as the header declares them. Each is
// bound under its key; a `char *` result is a text the caller owns: it is
// copied into a JS string and then handed to the table's `free` function, once.
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

// The opaque handle, as a type of this copy of the package: koffi refuses
// any other pointer where a store is expected. No type is registered under a
// name, so two copies of the package can share one koffi.
const STORE = koffi.pointer(koffi.opaque());
const HANDLE_TYPES = {
  'orvel_store *': STORE,
  'const orvel_store *': STORE,
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
  const fns = {};
  const owned = koffi.disposable('const char *', (pointer) => fns.free(pointer));
  const typeOf = (text) => HANDLE_TYPES[text] ?? text;
  for (const [key, prototype] of Object.entries(prototypes)) {
    const { name, result, types } = parsePrototype(prototype);
    fns[key] = lib.func(name, result === 'char *' ? owned : typeOf(result), types.map(typeOf));
  }
  return fns;
}

// What the library is, and where it may be.
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
/** The file names of a library on this platform, most specific first. */
function fileNames(spec) {
  if (process.platform === 'darwin') return [`lib${spec.stem}.${spec.abiVersion}.dylib`, `lib${spec.stem}.dylib`];
  if (process.platform === 'win32') return [`${spec.stem}.dll`, `lib${spec.stem}.dll`];
  return [`lib${spec.stem}.so.${spec.abiVersion}`];
}

// The existing files of a library in each folder, in order.
function inFolders(spec, folders) {
  return folders
    .flatMap((folder) => spec.subfolders.flatMap((sub) => fileNames(spec).map((n) => path.join(folder, sub, n))))
    .filter((candidate) => fs.existsSync(candidate));
}

function recordedFolder() {
  try {
    return JSON.parse(fs.readFileSync(path.join(__dirname, '..', 'installed.json'), 'utf8')).libraryDir || null;
  } catch {
    return null; // No record: this copy was not installed by cmake --install nor packed from a checkout.
  }
}

const loaded = new Map(); // spec -> { fns, from }

// Where a library is looked for, in this order; each place gives its
// candidates. A place marked alone, when it gives any, is the only one tried.
const PLACES = {
  argument: (spec, given) => ({ alone: true, origin: `the ${spec.argument} given to loadLibrary`, candidates: given ? [given] : [] }),
  environment: (spec) => {
    const value = process.env[spec.envVariable];
    return { alone: true, origin: `$${spec.envVariable}`, candidates: value ? [value] : [] };
  },
  recorded: (spec) => {
    const folder = recordedFolder();
    return { origin: 'the folder recorded at installation', candidates: folder ? inFolders(spec, [folder]) : [] };
  },
  package: (spec) => ({ origin: 'the package folder', candidates: inFolders(spec, [path.join(__dirname, '..')]) }),
  checkout: (spec) => {
    const folder = checkoutLibraryDir(path.join(__dirname, '..'));
    return { origin: "the checkout's build", candidates: folder ? inFolders(spec, [folder]) : [] };
  },
  loader: (spec) => ({ origin: 'the loader path', candidates: fileNames(spec) }),
};
/** The places searched for each library, in order (see PLACES). */
const SEARCH_ORDER = Object.freeze(Object.keys(PLACES));

function candidatesOf(spec, given) {
  const found = [];
  for (const place of SEARCH_ORDER) {
    const { alone, origin, candidates } = PLACES[place](spec, given);
    if (candidates.length === 0) continue;
    const labelled = candidates.map((candidate) => ({ origin, candidate }));
    if (alone) return labelled;
    for (const entry of labelled) if (!found.some((f) => f.candidate === entry.candidate)) found.push(entry);
  }
  return found;
}

function open(spec, candidate) {
  const lib = koffi.load(candidate);
  let fns;
  try {
    fns = bind(lib, spec.prototypes);
  } catch (error) {
    throw new OrvelError(`${candidate} is not ${spec.name} (${error.message})`);
  }
  const found = fns.abiVersion();
  if (found !== spec.abiVersion) {
    throw new OrvelError(`${candidate} has interface version ${found}; this package needs ${spec.abiVersion}`);
  }
  return fns;
}

function fixFor(spec) {
  const file = fileNames(spec)[0];
  return (
    `Fix: pass the library's path to loadLibrary(path), or set ` +
    `${spec.envVariable}=/path/to/${file}, or install ${spec.name} ` +
    `(apt install ${spec.debianPackage}, or cmake --install with its lib folder on the ` +
    'loader path: ldconfig or LD_LIBRARY_PATH).'
  );
}

// Loads one library once per process (per copy of this package).
function loadOnce(spec, given) {
  const done = loaded.get(spec);
  if (done) {
    if (given !== undefined && given !== null && path.resolve(given) !== done.from) {
      throw new OrvelError(`${spec.name} is already loaded from ${done.from}; cannot switch to ${given}`);
    }
    return done.fns;
  }
  if (given !== undefined && given !== null && typeof given !== 'string') {
    throw new TypeError(`${spec.argument} must be a string`);
  }
  const tried = [];
  for (const { origin, candidate } of candidatesOf(spec, given)) {
    let fns;
    try {
      fns = open(spec, candidate);
    } catch (error) {
      tried.push({ place: `${candidate} (${origin})`, why: error.message });
      continue;
    }
    loaded.set(spec, { fns, from: candidate.includes(path.sep) ? path.resolve(candidate) : candidate });
    return fns;
  }
  throw new LibraryNotFoundError(spec.name, tried, fixFor(spec));
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

module.exports = {
  ABI_VERSION,
  LIBRARY_FILES: Object.freeze({ core: fileNames(CORE) }),
  PROTOTYPES,
  SEARCH_ORDER,
  loadLibrary,
};
