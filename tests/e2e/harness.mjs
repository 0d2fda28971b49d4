// Shared plumbing for the end-to-end tests: where the binaries are, and a demo
// core on a private socket.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const REPO_ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
// Absolute, since hosts start them from folders of their own.
export const MCP_BIN = path.resolve(process.env.TRELVO_MCP_BIN || path.join(REPO_ROOT, 'build', 'debug', 'trelvo-mcp'));
export const DEMO_CORE_BIN = path.resolve(
  process.env.TRELVO_DEMO_CORE_BIN || path.join(REPO_ROOT, 'build', 'debug', 'trelvo-demo-core'),
);

for (const bin of [MCP_BIN, DEMO_CORE_BIN]) {
  if (!existsSync(bin)) throw new Error(`${bin} does not exist: build first, or set TRELVO_MCP_BIN / TRELVO_DEMO_CORE_BIN`);
}

export const TOOL_NAMES = ['list_flows', 'get_flow', 'get_capture_status', 'get_findings', 'list_pages',
  'get_console_messages', 'evaluate_js'];
// A flow and a page of the demo core's sample capture.
export const FLOW_ID = 40003;
export const PAGE = 'pg-3f9a1c07';

// A Unix socket's path must fit 103 bytes on a Mac, where os.tmpdir() is
// some 48 characters long: sockets go in fresh folders under /tmp instead.
export const MAX_SOCKET_PATH = 103;
export const socketDir = (prefix) => mkdtempSync(path.join('/tmp', prefix));
// Where the Trelvo app's core listens under `home`.
export const appSocket = (home) => path.join(home, 'Library/Application Support/Trelvo/run/core.sock');

// Starts trelvo-demo-core on `socket` (a fresh temporary one by default), or
// with `home` on its own default path under that HOME, where the Trelvo app's
// core listens; resolves once it has announced that it is listening.
export async function startDemoCore({ extraArgs = [], socket, home } = {}) {
  const ownDir = socket || home ? null : socketDir('trelvo-e2e-');
  const socketPath = home ? null : (socket ?? path.join(ownDir, 'core.sock'));
  const listensOn = socketPath ?? appSocket(home);
  if (Buffer.byteLength(listensOn) > MAX_SOCKET_PATH) {
    throw new Error(`socket path of ${Buffer.byteLength(listensOn)} bytes, more than a Mac allows: ${listensOn}`);
  }
  const args = home ? extraArgs : ['--socket', socketPath, ...extraArgs];
  const env = home ? { ...process.env, HOME: home } : process.env;
  const child = spawn(DEMO_CORE_BIN, args, { env, stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  const exited = new Promise((resolve) => child.once('exit', resolve));
  await within(
    10_000,
    new Promise((resolve, reject) => {
      // Keeps draining, so the core never blocks on a full pipe.
      child.stderr.setEncoding('utf8').on('data', (chunk) => {
        stderr += chunk;
        if (/listening/.test(stderr)) resolve();
      });
      exited.then((code) => reject(new Error(`demo core exited (${code}) before listening: ${stderr}`)));
    }),
    'demo core start',
  ).catch((err) => {
    child.kill('SIGKILL');
    throw err;
  });
  return {
    socket: socketPath,
    async stop() {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        await exited;
      }
      if (ownDir) rmSync(ownDir, { recursive: true, force: true });
    },
  };
}

// Rejects after `ms` unless `promise` settles first; names what timed out.
export function within(ms, promise, what) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what} took longer than ${ms} ms`)), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}
