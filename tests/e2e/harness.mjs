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

export const MCP_BIN =
  process.env.TRELVO_MCP_BIN || path.join(REPO_ROOT, 'build', 'debug', 'trelvo-mcp');
export const DEMO_CORE_BIN =
  process.env.TRELVO_DEMO_CORE_BIN || path.join(REPO_ROOT, 'build', 'debug', 'trelvo-demo-core');

export function requireBinaries() {
  for (const bin of [MCP_BIN, DEMO_CORE_BIN]) {
    if (!existsSync(bin)) {
      throw new Error(`${bin} does not exist: build first, or set TRELVO_MCP_BIN / TRELVO_DEMO_CORE_BIN`);
    }
  }
}

export const TEXT = {
  notRunning: 'Trelvo is not running. Launch Trelvo to start capturing.',
  flowNotFound:
    'Flow not found \u2014 Trelvo keeps the most recent 2000 flows; this one may have been evicted.',
  mcpDisabled: 'MCP access is disabled. Enable it in Trelvo \u2192 Settings \u2192 AI Agents.',
  evalDisabled:
    'JS evaluation for AI agents is disabled. Enable it in Trelvo \u2192 Settings \u2192 AI Agents.',
  consoleDisabled:
    'Console access for AI agents is disabled. Enable it in Trelvo \u2192 Settings \u2192 AI Agents.',
  inspectionDisabled:
    "Page inspection is disabled. Ask the user to enable it in Trelvo's Console space (\u23184).",
  pageNotFound:
    'Page not found \u2014 it may have closed or navigated away. Call list_pages for current handles.',
  timeSemantics:
    'received_at is delivery time at Trelvo, not page-side event time. Console (USB Web Inspector) ' +
    'and flows (network proxy) travel different delivery paths \u2014 measured skew is typically ' +
    '~20 ms with tails past 100 ms \u2014 so nearby cross-timeline timestamps show receipt order, ' +
    'not event order or causation.',
  omittedNote:
    'omitted by default \u2014 pass include_bodies: true to include (bodies are never masked)',
};

export const TOOL_NAMES = [
  'list_flows',
  'get_flow',
  'get_capture_status',
  'get_findings',
  'list_pages',
  'get_console_messages',
  'evaluate_js',
];

export function makeTempDir() {
  return mkdtempSync(path.join(tmpdir(), 'trelvo-e2e-'));
}

// Resolves with the exit code (or signal name) once the child is gone.
function exited(child) {
  if (child.exitCode !== null || child.signalCode !== null) {
    return Promise.resolve(child.exitCode ?? child.signalCode);
  }
  return new Promise((resolve) => child.once('exit', (code, signal) => resolve(code ?? signal)));
}

// SIGTERM, then SIGKILL if the child ignores it for `graceMs`.
export async function stopChild(child, graceMs = 3000) {
  if (child.exitCode !== null || child.signalCode !== null) return exited(child);
  child.kill('SIGTERM');
  let timer;
  const late = new Promise((resolve) => {
    timer = setTimeout(() => resolve('late'), graceMs);
  });
  const outcome = await Promise.race([exited(child), late]);
  clearTimeout(timer);
  if (outcome === 'late') {
    child.kill('SIGKILL');
    return exited(child);
  }
  return outcome;
}

// Starts trelvo-demo-core on `socket` (a fresh temporary one by default) and
// resolves once it has announced that it is listening.
export async function startDemoCore({ extraArgs = [], socket, timeoutMs = 10000 } = {}) {
  const ownDir = socket ? null : makeTempDir();
  const socketPath = socket ?? path.join(ownDir, 'core.sock');
  const child = spawn(DEMO_CORE_BIN, ['--socket', socketPath, ...extraArgs], {
    stdio: ['ignore', 'ignore', 'pipe'],
  });
  let stderr = '';
  child.stderr.setEncoding('utf8');
  await new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`demo core did not report listening within ${timeoutMs} ms; stderr: ${stderr}`));
    }, timeoutMs);
    const onData = (chunk) => {
      stderr += chunk;
      if (/listening/.test(stderr)) {
        clearTimeout(timer);
        child.stderr.off('data', onData);
        child.off('exit', onExit);
        // Keep draining so the core never blocks on a full pipe.
        child.stderr.on('data', (more) => {
          stderr += more;
        });
        resolve();
      }
    };
    const onExit = (code, signal) => {
      clearTimeout(timer);
      reject(new Error(`demo core exited (${code ?? signal}) before listening; stderr: ${stderr}`));
    };
    child.stderr.on('data', onData);
    child.once('exit', onExit);
    child.once('error', (err) => {
      clearTimeout(timer);
      reject(err);
    });
  });
  return {
    child,
    socket: socketPath,
    stderr: () => stderr,
    async stop() {
      const status = await stopChild(child);
      if (ownDir) rmSync(ownDir, { recursive: true, force: true });
      return status;
    },
  };
}

// A minimal client of the core's own socket protocol: newline-delimited
// JSON, a hello first, then one request at a time matched by id.
export class CoreSocket {
  static async open(socketPath, timeoutMs = 5000) {
    const sock = net.createConnection(socketPath);
    await new Promise((resolve, reject) => {
      sock.once('connect', resolve);
      sock.once('error', reject);
    });
    const core = new CoreSocket(sock, timeoutMs);
    const hello = await core.call('hello', { clientKind: 'mcp', protocolVersion: 1 });
    if (hello?.protocolVersion !== 1 || hello?.acceptedClientKind !== 'mcp') {
      core.close();
      throw new Error(`unexpected hello answer ${JSON.stringify(hello)}`);
    }
    return core;
  }

  constructor(sock, timeoutMs) {
    this.sock = sock;
    this.timeoutMs = timeoutMs;
    this.nextId = 1;
    this.waiting = new Map();
    this.closedError = null;
    createInterface({ input: sock }).on('line', (line) => {
      let msg;
      try {
        msg = JSON.parse(line);
      } catch {
        return;
      }
      const pending = this.waiting.get(msg?.id);
      if (pending) {
        this.waiting.delete(msg.id);
        pending(msg);
      }
    });
    const fail = (err) => {
      this.closedError = err ?? new Error('core closed the connection');
      for (const pending of this.waiting.values()) pending({ error: { code: 'closed', message: String(this.closedError) } });
      this.waiting.clear();
    };
    sock.on('error', fail);
    sock.on('close', () => fail());
  }

  // Resolves with the result; rejects with an Error carrying the core's code.
  call(method, params) {
    if (this.closedError) return Promise.reject(this.closedError);
    const id = this.nextId++;
    const request = params === undefined ? { id, method } : { id, method, params };
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.waiting.delete(id);
        reject(new Error(`core did not answer ${method} within ${this.timeoutMs} ms`));
      }, this.timeoutMs);
      this.waiting.set(id, (msg) => {
        clearTimeout(timer);
        if ('error' in msg) {
          const err = new Error(`${method}: ${msg.error?.code}: ${msg.error?.message}`);
          err.code = msg.error?.code;
          reject(err);
        } else {
          resolve(msg.result ?? null);
        }
      });
      this.sock.write(JSON.stringify(request) + '\n');
    });
  }

  close() {
    this.sock.destroy();
  }
}

// The summary record trelvo-mcp is meant to show for one core flow.
export function expectedSummary(flow) {
  const str = (v) => (typeof v === 'string' ? v : '');
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
    url: `${str(flow.scheme)}://${str(flow.host)}${str(flow.path)}`,
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
