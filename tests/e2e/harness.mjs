// Shared plumbing for the end-to-end tests: where the binaries are, a demo
// core on a private socket, and a bare core-socket client that reads the
// demo core's data directly, so tool results can be checked against it.
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

export const REPO_ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const MCP_BIN = process.env.TRELVO_MCP_BIN || path.join(REPO_ROOT, 'build', 'debug', 'trelvo-mcp');
const DEMO_CORE_BIN =
  process.env.TRELVO_DEMO_CORE_BIN || path.join(REPO_ROOT, 'build', 'debug', 'trelvo-demo-core');

export function requireBinaries() {
  for (const bin of [MCP_BIN, DEMO_CORE_BIN]) {
    if (!existsSync(bin)) throw new Error(`${bin} does not exist: build first, or set TRELVO_MCP_BIN / TRELVO_DEMO_CORE_BIN`);
  }
}

const ENABLE = 'Enable it in Trelvo \u2192 Settings \u2192 AI Agents.';
export const TEXT = {
  notRunning: 'Trelvo is not running. Launch Trelvo to start capturing.',
  flowNotFound: 'Flow not found \u2014 Trelvo keeps the most recent 2000 flows; this one may have been evicted.',
  mcpDisabled: `MCP access is disabled. ${ENABLE}`,
  evalDisabled: `JS evaluation for AI agents is disabled. ${ENABLE}`,
  pageNotFound: 'Page not found \u2014 it may have closed or navigated away. Call list_pages for current handles.',
  timeSemantics:
    'received_at is delivery time at Trelvo, not page-side event time. Console (USB Web Inspector) ' +
    'and flows (network proxy) travel different delivery paths \u2014 measured skew is typically ' +
    '~20 ms with tails past 100 ms \u2014 so nearby cross-timeline timestamps show receipt order, ' +
    'not event order or causation.',
  omittedNote: 'omitted by default \u2014 pass include_bodies: true to include (bodies are never masked)',
};

export const TOOL_NAMES = ['list_flows', 'get_flow', 'get_capture_status', 'get_findings', 'list_pages',
  'get_console_messages', 'evaluate_js'];

export const makeTempDir = () => mkdtempSync(path.join(tmpdir(), 'trelvo-e2e-'));

// Starts trelvo-demo-core on `socket` (a fresh temporary one by default) and
// resolves once it has announced that it is listening.
export async function startDemoCore({ extraArgs = [], socket } = {}) {
  const ownDir = socket ? null : makeTempDir();
  const socketPath = socket ?? path.join(ownDir, 'core.sock');
  const child = spawn(DEMO_CORE_BIN, ['--socket', socketPath, ...extraArgs], { stdio: ['ignore', 'ignore', 'pipe'] });
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

// A minimal client of the core's own socket protocol: newline-delimited
// JSON, a hello first, then requests matched by id.
export class CoreSocket {
  static async open(socketPath) {
    const sock = net.createConnection(socketPath);
    await new Promise((resolve, reject) => sock.once('connect', resolve).once('error', reject));
    const core = new CoreSocket(sock);
    await core.call('hello', { clientKind: 'mcp', protocolVersion: 1 });
    return core;
  }

  constructor(sock) {
    this.sock = sock;
    this.nextId = 1;
    this.waiting = new Map();
    createInterface({ input: sock }).on('line', (line) => {
      const msg = JSON.parse(line);
      this.waiting.get(msg.id)?.(msg);
      this.waiting.delete(msg.id);
    });
  }

  // Resolves with the result; rejects when the core answers with an error.
  call(method, params) {
    const id = this.nextId++;
    const reply = new Promise((resolve) => this.waiting.set(id, resolve));
    this.sock.write(JSON.stringify({ id, method, params }) + '\n');
    return within(5000, reply, `core ${method}`).then((msg) => {
      if ('error' in msg) throw new Error(`${method}: ${JSON.stringify(msg.error)}`);
      return msg.result;
    });
  }

  close() {
    this.sock.destroy();
  }
}

// The summary record trelvo-mcp is meant to show for one core flow.
export function expectedSummary(flow) {
  return {
    completed: flow.completed ?? null,
    content_type: flow.contentType ?? null,
    duration_ms: flow.durationMs ?? null,
    error: flow.error ?? null,
    id: flow.flowId ?? null,
    method: flow.method ?? null,
    resp_size: flow.respSize ?? null,
    seq: flow.seq ?? null,
    status: flow.status ?? null,
    time: Number.isSafeInteger(flow.ts) && flow.ts >= 0 ? new Date(flow.ts).toISOString() : '',
    url: `${flow.scheme ?? ''}://${flow.host ?? ''}${flow.path ?? ''}`,
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
