// SPDX-License-Identifier: MIT
// Type declarations of the orvel package's ES module entry (import ... from 'orvel'):
// the CommonJS entry's names, and as default export that entry's whole module.
export * from './index.cjs';
declare const orvel: typeof import('./index.cjs');
export default orvel;
