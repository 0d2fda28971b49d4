// The Codex CLI reads the README's TOML table as its config.toml and, through
// its app server (JSON-RPC over standard input/output, no login needed),
// starts the server, reports its status and tools, and calls them in a thread.
// Run by scripts/check-hosts.sh, which installs the CLI and sets CODEX_BIN.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, rmSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';
import { after, before, describe, test } from 'node:test';

import { MCP_BIN, TOOL_NAMES, within } from '../e2e/harness.mjs';
import { brokenPrograms, checkGetFlow, checkListFlows, readmeEntry, scratchDir, startCore } from './hosts.mjs';

const CODEX = process.env.CODEX_BIN;
if (!CODEX) throw new Error('set CODEX_BIN to the codex command (scripts/check-hosts.sh does)');

// Keeps the app server off the network, on the command line so that
// config.toml holds only the README's table: plugins would sync a marketplace,
// and a new thread would open a connection to the default model provider.
const OFFLINE = [
  '--disable', 'plugins',
  '-c', 'model_provider="offline"',
  '-c', 'model_providers.offline={ name = "offline", base_url = "http://127.0.0.1:9/v1" }',
];
const WAIT = 30_000;
// Longer than Codex's own 30 s for a server's start-up, so its report of a
// server that never answers arrives first.
const STARTUP_WAIT = 60_000;

// `codex app-server` in a home of its own whose config.toml is `config`;
// requests and notifications as JSON lines on its standard input/output.
class AppServer {
  constructor(home, config) {
    const codexHome = path.join(home, '.codex');
    mkdirSync(codexHome, { recursive: true });
    writeFileSync(path.join(codexHome, 'config.toml'), config);
    // Its own process group, so a hang is ended with the servers it started.
    this.child = spawn(CODEX, ['app-server', ...OFFLINE], {
      cwd: home,
      env: { PATH: process.env.PATH, HOME: home, CODEX_HOME: codexHome },
      stdio: ['pipe', 'pipe', 'pipe'],
      detached: true,
    });
    this.exited = new Promise((resolve) => this.child.once('exit', resolve));
    this.stderr = '';
    this.child.stderr.setEncoding('utf8').on('data', (d) => (this.stderr += d));
    this.nextId = 1;
    this.pending = new Map();
    this.notifications = [];
    this.watchers = new Set();
    readline.createInterface({ input: this.child.stdout }).on('line', (line) => this.receive(JSON.parse(line)));
  }

  receive(message) {
    if (message.method && message.id !== undefined) {
      // A request of its own (an approval, say): refused, so nothing waits on it.
      this.send({ id: message.id, error: { code: -32601, message: 'not supported by this client' } });
    } else if (message.method) {
      this.notifications.push(message);
      for (const watch of this.watchers) watch();
    } else {
      this.pending.get(message.id)?.(message);
      this.pending.delete(message.id);
    }
  }

  send(message) {
    this.child.stdin.write(`${JSON.stringify({ jsonrpc: '2.0', ...message })}\n`);
  }

  // The whole response, { result } or { error }.
  call(method, params) {
    const id = this.nextId++;
    const response = new Promise((resolve) => this.pending.set(id, resolve));
    this.send({ id, method, params });
    return within(WAIT, response, `codex app-server: ${method}`).catch((err) => {
      throw new Error(`${err.message}\n${this.stderr}`);
    });
  }

  async request(method, params) {
    const response = await this.call(method, params);
    assert.ok(response.result, `${method}: ${JSON.stringify(response)}`);
    return response.result;
  }

  // The first notification, past or future, that `matches`.
  notification(matches, what, ms = WAIT) {
    let watch;
    const found = new Promise((resolve) => {
      watch = () => {
        const hit = this.notifications.find(matches);
        if (hit) resolve(hit);
      };
      this.watchers.add(watch);
      watch();
    });
    return within(ms, found, `codex app-server: ${what}`)
      .catch((err) => {
        throw new Error(`${err.message}\n${this.stderr}`);
      })
      .finally(() => this.watchers.delete(watch));
  }

  async start() {
    await this.request('initialize', {
      clientInfo: { name: 'trelvo-host-check', title: null, version: '1' },
      capabilities: { experimentalApi: false, requestAttestation: false },
    });
    this.send({ method: 'initialized' });
  }

  // A new thread, once its start-up of the trelvo server has ended one way or
  // the other: { threadId, startup } (the last status notification).
  async thread() {
    const { thread } = await this.request('thread/start', { ephemeral: true });
    const startup = await this.notification(
      (n) =>
        n.method === 'mcpServer/startupStatus/updated' &&
        n.params.threadId === thread.id &&
        n.params.name === 'trelvo' &&
        ['ready', 'failed', 'cancelled'].includes(n.params.status),
      'the trelvo server starting',
      STARTUP_WAIT,
    );
    return { threadId: thread.id, startup: startup.params };
  }

  async status(threadId) {
    const { data } = await this.request('mcpServerStatus/list', { threadId, serverName: 'trelvo' });
    assert.equal(data.length, 1, JSON.stringify(data));
    return data[0];
  }

  callTool(threadId, tool, args) {
    return this.call('mcpServer/tool/call', { threadId, server: 'trelvo', tool, arguments: args });
  }

  // Closing its input ends it; a process group still there is killed.
  async stop() {
    this.child.stdin.end();
    await within(10_000, this.exited, 'codex app-server exit').catch(() => {});
    try {
      process.kill(-this.child.pid, 'SIGKILL');
    } catch {
      // Already gone, with everything it started.
    }
  }
}

describe("the README's TOML table in the Codex CLI", { timeout: 180_000 }, () => {
  const entry = readmeEntry('toml');
  let dir;
  let core;
  const running = [];

  // An app server whose config.toml is the README's table with `program` as the server.
  async function codexWith(name, program) {
    const home = path.join(dir, name);
    const server = new AppServer(home, entry.localise({ program, socket: core.socket }));
    running.push(server);
    await server.start();
    return server;
  }

  before(async () => {
    dir = scratchDir('codex');
    core = await startCore(dir);
  });

  after(async () => {
    await Promise.all(running.map((s) => s.stop()));
    await core?.stop();
    if (dir) rmSync(dir, { recursive: true, force: true });
  });

  test('lists the seven tools, and calls list_flows and then get_flow with a listed id', async () => {
    const codex = await codexWith('works', MCP_BIN);
    const { threadId, startup } = await codex.thread();
    assert.equal(startup.status, 'ready', JSON.stringify(startup));

    const status = await codex.status(threadId);
    assert.equal(status.runtimeStatus, 'connected', JSON.stringify(status));
    assert.equal(status.toolsError, null);
    // Codex keeps the tools in a map by name, so it reports no order to check.
    assert.deepEqual(Object.keys(status.tools).sort(), [...TOOL_NAMES].sort());
    for (const [name, tool] of Object.entries(status.tools)) {
      assert.equal(tool.name, name);
      assert.equal(tool.inputSchema.type, 'object', name);
    }

    const listed = await codex.callTool(threadId, 'list_flows', { limit: 3 });
    const flows = checkListFlows(listed.result, 3);
    const flow = flows.at(-1);
    const got = await codex.callTool(threadId, 'get_flow', { flow_id: flow.id });
    checkGetFlow(got.result, flow);
  });

  test('an entry whose program cannot serve is reported as failed', async () => {
    for (const [i, { what, program }] of brokenPrograms(dir).entries()) {
      const codex = await codexWith(`broken-${i}`, program);
      const { threadId, startup } = await codex.thread();
      assert.equal(startup.status, 'failed', `${what}: ${JSON.stringify(startup)}`);
      assert.match(startup.error, /failed to start/, what);

      const status = await codex.status(threadId);
      assert.equal(status.runtimeStatus, 'failed', `${what}: ${JSON.stringify(status)}`);
      assert.deepEqual(status.tools, {}, what);
      assert.ok(status.toolsError, what);

      const call = await codex.callTool(threadId, 'list_flows', {});
      assert.ok(call.error, `${what}: ${JSON.stringify(call)}`);
    }
  });
});
