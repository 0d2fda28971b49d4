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

// `codex app-server` in a home of its own whose config.toml is `config`.
class AppServer {
  constructor(home, config) {
    const codexHome = path.join(home, '.codex');
    mkdirSync(codexHome, { recursive: true });
    writeFileSync(path.join(codexHome, 'config.toml'), config);
    // Its own process group, so a hang is ended with the servers it started.
    this.child = spawn(CODEX, ['app-server', ...OFFLINE], {
      cwd: home,
      env: { PATH: process.env.PATH, HOME: home, CODEX_HOME: codexHome },
      detached: true,
    });
    this.exited = new Promise((resolve) => this.child.once('exit', resolve));
    this.stderr = '';
    this.child.stderr.setEncoding('utf8').on('data', (d) => (this.stderr += d));
    this.nextId = 1;
    this.waiting = new Map(); // response id, or notification test, to its resolve
    this.notifications = [];
    readline.createInterface({ input: this.child.stdout }).on('line', (line) => this.receive(JSON.parse(line)));
  }

  receive(message) {
    if (message.method && message.id !== undefined) {
      // A request of its own (an approval, say): refused, so nothing waits on it.
      this.send({ id: message.id, error: { code: -32601, message: 'not supported by this client' } });
    } else if (message.method) {
      this.notifications.push(message);
    }
    for (const [key, resolve] of this.waiting) {
      if (typeof key === 'number' ? key === message.id && !message.method : this.notifications.some(key)) {
        resolve(typeof key === 'number' ? message : this.notifications.find(key));
      }
    }
  }

  send(message) {
    this.child.stdin.write(`${JSON.stringify({ jsonrpc: '2.0', ...message })}\n`);
  }

  // Waits for what `key` names (a response id, or a test of notifications),
  // within `ms`; the server's standard error comes with a failure.
  wait(key, what, ms = WAIT) {
    const got = new Promise((resolve) => this.waiting.set(key, resolve));
    if (typeof key !== 'number') this.receive({}); // one already here
    return within(ms, got, `codex app-server: ${what}`)
      .catch((err) => {
        throw new Error(`${err.message}\n${this.stderr}`);
      })
      .finally(() => this.waiting.delete(key));
  }

  // The whole response, { result } or { error }.
  call(method, params) {
    const id = this.nextId++;
    this.send({ id, method, params });
    return this.wait(id, method);
  }

  async result(method, params) {
    const response = await this.call(method, params);
    assert.ok(response.result, `${method}: ${JSON.stringify(response)}`);
    return response.result;
  }

  // A new thread, once its start-up of the trelvo server has ended one way or
  // the other, with the last status notification and the server's status.
  async thread() {
    const { thread } = await this.result('thread/start', { ephemeral: true });
    const startup = await this.wait(
      (n) =>
        n.method === 'mcpServer/startupStatus/updated' &&
        n.params.threadId === thread.id &&
        n.params.name === 'trelvo' &&
        ['ready', 'failed', 'cancelled'].includes(n.params.status),
      'the trelvo server starting',
      STARTUP_WAIT,
    );
    const { data } = await this.result('mcpServerStatus/list', { threadId: thread.id, serverName: 'trelvo' });
    assert.equal(data.length, 1, JSON.stringify(data));
    const callTool = (tool, args) => this.call('mcpServer/tool/call', { threadId: thread.id, server: 'trelvo', tool, arguments: args });
    return { startup: startup.params, status: data[0], callTool };
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
    const codex = new AppServer(path.join(dir, name), entry.localise({ program, socket: core.socket }));
    running.push(codex);
    await codex.result('initialize', {
      clientInfo: { name: 'trelvo-host-check', title: null, version: '1' },
      capabilities: { experimentalApi: false, requestAttestation: false },
    });
    codex.send({ method: 'initialized' });
    return codex;
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
    const { startup, status, callTool } = await (await codexWith('works', MCP_BIN)).thread();
    assert.equal(startup.status, 'ready', JSON.stringify(startup));
    assert.equal(status.runtimeStatus, 'connected', JSON.stringify(status));
    assert.equal(status.toolsError, null);
    // Codex keeps the tools in a map by name, so it reports no order to check.
    assert.deepEqual(Object.keys(status.tools).sort(), [...TOOL_NAMES].sort());
    for (const [name, tool] of Object.entries(status.tools)) {
      assert.equal(tool.name, name);
      assert.equal(tool.inputSchema.type, 'object', name);
    }
    const flow = checkListFlows((await callTool('list_flows', { limit: 3 })).result, 3).at(-1);
    checkGetFlow((await callTool('get_flow', { flow_id: flow.id })).result, flow);
  });

  test('an entry whose program cannot serve is reported as failed', async () => {
    for (const [i, { what, program }] of brokenPrograms(dir).entries()) {
      const { startup, status, callTool } = await (await codexWith(`broken-${i}`, program)).thread();
      assert.equal(startup.status, 'failed', `${what}: ${JSON.stringify(startup)}`);
      assert.match(startup.error, /failed to start/, what);
      assert.equal(status.runtimeStatus, 'failed', `${what}: ${JSON.stringify(status)}`);
      assert.deepEqual(status.tools, {}, what);
      assert.ok(status.toolsError, what);
      const call = await callTool('list_flows', {});
      assert.ok(call.error, `${what}: ${JSON.stringify(call)}`);
    }
  });
});
