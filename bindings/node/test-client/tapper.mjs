// SPDX-License-Identifier: MIT
// The crash test's child: a user who keeps tapping while the client syncs in
// the background. Prints "open" once the client is open, then "tap N" after
// each setWished(N) has returned; stops by itself after a few seconds.
//   node tapper.mjs BASE_URL STATE_DIR FIRST_TAP
import { writeSync } from 'node:fs';

import { WishlistClient } from '../index.mjs';

export const ITEMS = 40;
/** Tap n: which item, and whether it is wished after it. */
export const tapOf = (n) => ({ itemId: `tr-${n % ITEMS}`, wished: Math.floor(n / ITEMS) % 2 === 0 });

if (process.argv[2] !== undefined) {
  const [baseUrl, stateDir, first] = process.argv.slice(2);
  const client = new WishlistClient(baseUrl, stateDir, { backoffBase: 5, backoffCap: 50 });
  client.start();
  writeSync(1, 'open\n');
  setTimeout(() => process.exit(0), 3000).unref();
  for (let n = Number(first); ; n += 1) {
    const { itemId, wished } = tapOf(n);
    client.setWished('track', itemId, wished, `T ${itemId}`, 'A');
    writeSync(1, `tap ${n}\n`);
    await new Promise((resolve) => setTimeout(resolve, n % 3));
  }
}
