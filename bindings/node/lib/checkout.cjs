// SPDX-License-Identifier: MIT
'use strict';
// The folder where a liborvel checkout's own build puts the library. A package
// that sits in a checkout (bindings/node, required in place) looks there, and
// one packed from a checkout records it (npm pack runs this file as prepack),
// so the README's build needs no setting.

const fs = require('node:fs');
const path = require('node:path');

// The folder of the README's build (cmake --preset release), in the checkout.
const BUILD_DIR = path.join('build', 'release');

/** The checkout's top folder when packageDir is its bindings/<language>, else null. */
function checkoutRoot(packageDir) {
  let dir;
  try {
    dir = fs.realpathSync(packageDir);
  } catch {
    return null;
  }
  const bindings = path.dirname(dir);
  const root = path.dirname(bindings);
  if (path.basename(bindings) !== 'bindings' || !fs.existsSync(path.join(root, 'include', 'orvel.h'))) return null;
  return root;
}

/** The checkout's build folder when packageDir is a checkout's bindings/<language>, else null. */
function checkoutLibraryDir(packageDir) {
  const root = checkoutRoot(packageDir);
  return root === null ? null : path.join(root, BUILD_DIR);
}

// prepack: in a checkout, record its build folder in installed.json, from the
// template cmake --install fills for the installed copy (which keeps its own).
function recordForPack(packageDir) {
  const root = checkoutRoot(packageDir);
  if (root === null) return;
  const template = fs.readFileSync(path.join(root, 'cmake', 'node_installed.json.in'), 'utf8');
  const literal = JSON.stringify(path.join(root, BUILD_DIR)).slice(1, -1);
  fs.writeFileSync(path.join(packageDir, 'installed.json'), template.replace('@LIBRARY_DIR_LITERAL@', literal));
}

if (require.main === module) recordForPack(path.join(__dirname, '..'));

module.exports = { checkoutLibraryDir };
