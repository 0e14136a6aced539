// SPDX-License-Identifier: MIT
// A wishlist service on 127.0.0.1 for the tests, on node:http: it holds one
// user's set, refuses some entries for good (403), answers some POSTs with a
// 503 or only after the client has given up, and lists the set in the
// loader's "wishes" shape.
import { createServer } from 'node:http';

const key = (kind, itemId) => `${kind}\u0000${itemId}`;

/**
 * Starts the service. `initial`: entries it holds already; `refused`: [kind,
 * itemId] pairs it refuses; `misbehave`: POST number (1-based) -> 'fail' | 'late'.
 */
export async function startService({ initial = [], refused = [], misbehave = {}, lateMs = 2000 } = {}) {
  const set = new Map(initial.map((e) => [key(e.kind, e.itemId), e]));
  const refusedKeys = new Set(refused.map(([kind, itemId]) => key(kind, itemId)));
  const posts = [];
  const timers = new Set();

  const server = createServer((request, response) => {
    const chunks = [];
    request.on('data', (chunk) => chunks.push(chunk));
    request.on('end', () => {
      const answer = (status, body = '') => {
        response.writeHead(status, { 'content-type': 'application/json' });
        response.end(body);
      };
      if (request.method === 'GET' && request.url === '/wishlist/api/mine') {
        answer(200, JSON.stringify({ wishes: [...set.values()] }));
        return;
      }
      if (request.method !== 'POST' || request.url !== '/wishlist/api/wish') {
        answer(404);
        return;
      }
      const wish = JSON.parse(Buffer.concat(chunks).toString('utf8'));
      posts.push(wish);
      const behaviour = misbehave[posts.length];
      if (behaviour === 'fail') return answer(503);
      const k = key(wish.kind, wish.itemId);
      if (refusedKeys.has(k)) return answer(403);
      if (wish.op === 'add') set.set(k, { kind: wish.kind, itemId: wish.itemId, title: wish.title, artist: wish.artist });
      else set.delete(k);
      if (behaviour !== 'late') return answer(204);
      // Applied, but answered after the client's deadline.
      const timer = setTimeout(() => {
        timers.delete(timer);
        if (!response.destroyed) answer(204);
      }, lateMs);
      timers.add(timer);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {
    baseUrl: `http://127.0.0.1:${server.address().port}`,
    /** The set, in the order of the list's entries. */
    entries: () => [...set.values()],
    /** Each POST's body, in order. */
    posts,
    close: () => {
      for (const timer of timers) clearTimeout(timer);
      server.closeAllConnections();
      return new Promise((resolve) => server.close(resolve));
    },
  };
}
