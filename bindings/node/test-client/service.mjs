// SPDX-License-Identifier: MIT
// The shared sample service (tests/service/orvel_service.py) as a process on
// 127.0.0.1 for the client's tests: bounded in time and requests, its faults
// ordered and its state read through its control endpoint.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createServer } from 'node:net';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

const SERVICE = process.env.ORVEL_SERVICE
  ?? fileURLToPath(new URL('../../../tests/service/orvel_service.py', import.meta.url));
const PYTHON = process.env.ORVEL_TEST_PYTHON || 'python3';

/** Starts the service: { baseUrl, origin, control(order), state(), stop() }. */
export async function startService({ args = ['--empty'], maxSeconds = 120, maxRequests = 20000 } = {}) {
  const child = spawn(PYTHON, [SERVICE, '--quiet', '--max-seconds', String(maxSeconds), '--max-requests', String(maxRequests), ...args], {
    stdio: ['ignore', 'pipe', process.env.ORVEL_TEST_VERBOSE ? 'inherit' : 'ignore'],
  });
  const lines = createInterface({ input: child.stdout });
  const [baseUrl] = await Promise.race([
    once(lines, 'line'),
    once(child, 'exit').then(([code]) => { throw new Error(`the service exited (${code}) before it served`); }),
  ]);
  const origin = new URL(baseUrl).origin;
  const call = async (order) => {
    const answer = await fetch(`${origin}/_control`, order === undefined ? {} : { method: 'POST', body: JSON.stringify(order) });
    if (!answer.ok) throw new Error(`control: HTTP ${answer.status}: ${await answer.text()}`);
    return answer.json();
  };
  return {
    baseUrl,
    origin,
    control: call,
    state: () => call(),
    async stop() {
      if (child.exitCode === null) {
        child.kill();
        await once(child, 'exit');
      }
    },
  };
}

/** A new empty folder, removed by the returned function. */
export function scratch(prefix = 'orvel-client-') {
  const dir = mkdtempSync(join(tmpdir(), prefix));
  return { dir, remove: () => rmSync(dir, { recursive: true, force: true }) };
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/** The service's set and a client's entries as comparable sorted keys. */
export const keys = (entries) => entries.map((e) => `${e.kind}/${e.itemId}`).sort();

/** A port of 127.0.0.1 where nothing listens: one the system just gave and took back. */
export async function closedPort() {
  const server = createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return port;
}
