'use strict';
// Finding liborvel, loading it once per process and declaring its functions.

const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');
const { checkoutLibraryDir } = require('./checkout.cjs');

const ABI_VERSION = 1;
const ENV_VARIABLE = 'ORVEL_LIBRARY';

/** A library call failed; `reason` is the library's own error text, or "". */
class OrvelError extends Error {
  constructor(what, reason = '') {
    super(reason ? `${what}: ${reason}` : what);
    this.name = 'OrvelError';
    this.reason = reason;
  }
}

/** liborvel could not be loaded; `tried` lists each place and why it failed. */
class LibraryNotFoundError extends OrvelError {
  constructor(tried) {
    const lines = tried.map(({ place, why }) => `  ${place}: ${why}`).join('\n');
    super(
      'liborvel could not be loaded. Tried:\n' +
        `${lines}\n` +
        "Fix: pass the library's path to loadLibrary(path), or set " +
        `${ENV_VARIABLE}=/path/to/${fileNames()[0]}, or install liborvel ` +
        '(apt install liborvel1, or cmake --install with its lib folder on the ' +
        'loader path: ldconfig or LD_LIBRARY_PATH).',
    );
    this.name = 'LibraryNotFoundError';
    this.tried = tried;
  }
}

function fileNames() {
  if (process.platform === 'darwin') return ['liborvel.1.dylib', 'liborvel.dylib'];
  if (process.platform === 'win32') return ['orvel.dll', 'liborvel.dll'];
  return ['liborvel.so.1'];
}

// Every text the library returns goes through OrvelText: koffi copies it into
// a JS string and then hands the pointer to orvel_free, once. Inputs are
// 'const char *' so that NUL-terminated Buffers pass byte for byte.
const PROTOTYPES = {
  version: 'const char *orvel_version(void)',
  abiVersion: 'int32_t orvel_abi_version(void)',
  lastError: 'const char *orvel_last_error(void)',
  create: 'void *orvel_create(void)',
  destroy: 'void orvel_destroy(void *store)',
  validateKind: 'int32_t orvel_validate_kind(const char *kind)',
  count: 'int32_t orvel_count(void *store)',
  isWished: 'int32_t orvel_is_wished(void *store, const char *kind, const char *item_id)',
  toggle:
    'int32_t orvel_apply_local_toggle(void *store, const char *kind, const char *item_id, ' +
    'const char *title, const char *artist)',
  buildMineUrl: 'OrvelText orvel_build_mine_url(const char *base_url)',
  buildWishRequest:
    'OrvelText orvel_build_wish_request_json(const char *base_url, int32_t add, const char *kind, ' +
    'const char *item_id, const char *title, const char *artist)',
  load: 'int32_t orvel_load_mine_json(void *store, const uint8_t *json, size_t len)',
  exportJson: 'OrvelText orvel_export_json(void *store)',
  selftest: 'int32_t orvel_selftest(void)',
};

// The type is made once; it frees through the library that was loaded.
let freeText = null;
koffi.disposable('OrvelText', 'const char *', (pointer) => freeText(pointer));

function open(candidate) {
  const lib = koffi.load(candidate);
  const fns = {};
  try {
    fns.free = lib.func('void orvel_free(void *text)');
    for (const [name, prototype] of Object.entries(PROTOTYPES)) fns[name] = lib.func(prototype);
  } catch (error) {
    throw new OrvelError(`${candidate} is not liborvel (${error.message})`);
  }
  const found = fns.abiVersion();
  if (found !== ABI_VERSION) {
    throw new OrvelError(`${candidate} has interface version ${found}; this package needs ${ABI_VERSION}`);
  }
  freeText = fns.free;
  return fns;
}

function automaticCandidates() {
  const folders = [];
  try {
    const { libraryDir } = JSON.parse(fs.readFileSync(path.join(__dirname, '..', 'installed.json'), 'utf8'));
    if (libraryDir) folders.push(libraryDir);
  } catch {
    // No record: this copy was not installed by cmake --install.
  }
  const packageDir = path.join(__dirname, '..');
  folders.push(packageDir);
  const built = checkoutLibraryDir(packageDir);
  if (built) folders.push(built);
  const present = folders.flatMap((f) => fileNames().map((n) => path.join(f, n))).filter((p) => fs.existsSync(p));
  return [...present, ...fileNames()];
}

let loaded = null;
let loadedFrom = null;

/**
 * Loads liborvel once per process. `libraryPath`, then $ORVEL_LIBRARY, are used
 * alone when given; otherwise the recorded install folder, the package folder,
 * the build folder of the checkout the package sits in and the loader path are
 * tried in turn.
 */
function loadLibrary(libraryPath) {
  if (loaded) {
    if (libraryPath !== undefined && libraryPath !== null && path.resolve(libraryPath) !== loadedFrom) {
      throw new OrvelError(`liborvel is already loaded from ${loadedFrom}; cannot switch to ${libraryPath}`);
    }
    return loaded;
  }
  if (libraryPath !== undefined && libraryPath !== null && typeof libraryPath !== 'string') {
    throw new TypeError('libraryPath must be a string');
  }
  const env = process.env[ENV_VARIABLE];
  let candidates;
  if (libraryPath) candidates = [{ origin: 'the path given to loadLibrary', candidate: libraryPath }];
  else if (env) candidates = [{ origin: `$${ENV_VARIABLE}`, candidate: env }];
  else candidates = automaticCandidates().map((candidate) => ({ origin: '', candidate }));
  const tried = [];
  for (const { origin, candidate } of candidates) {
    try {
      loaded = open(candidate);
    } catch (error) {
      tried.push({ place: origin ? `${candidate} (${origin})` : candidate, why: error.message });
      continue;
    }
    loadedFrom = candidate.includes(path.sep) ? path.resolve(candidate) : candidate;
    return loaded;
  }
  throw new LibraryNotFoundError(tried);
}

module.exports = { ABI_VERSION, OrvelError, LibraryNotFoundError, loadLibrary };
