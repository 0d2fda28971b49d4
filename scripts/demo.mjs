#!/usr/bin/env node
// A short, readable MCP conversation with trelvo-mcp, served by the demo core
// on a temporary socket. Shows each request and the answer, then cleans up.
// Exits non-zero when anything does not go as expected.
//
//   node scripts/demo.mjs
//
// The binaries come from TRELVO_MCP_BIN and TRELVO_DEMO_CORE_BIN, or else from
// the first build folder that has both (release, then debug).
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, rmSync } from 'node:fs';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const ANSWER_TIMEOUT_MS = 20_000; // above the server's own 15 s core deadline
const START_TIMEOUT_MS = 10_000;
const MAX_LINES = 24;
const MAX_LINE_CHARS = 200;

const NOT_FOUND =
  'Flow not found \u2014 Trelvo keeps the most recent 2000 flows; this one may have been evicted.';

function findBinaries() {
  const fromEnv = [process.env.TRELVO_MCP_BIN, process.env.TRELVO_DEMO_CORE_BIN];
  if (fromEnv[0] || fromEnv[1]) {
    if (!fromEnv[0] || !fromEnv[1]) throw new Error('set both TRELVO_MCP_BIN and TRELVO_DEMO_CORE_BIN');
    return { mcp: fromEnv[0], core: fromEnv[1] };
  }
  for (const dir of ['release', 'debug']) {
    const mcp = path.join(ROOT, 'build', dir, 'trelvo-mcp');
    const core = path.join(ROOT, 'build', dir, 'trelvo-demo-core');
    if (existsSync(mcp) && existsSync(core)) return { mcp, core };
  }
  throw new Error('no build found: build first (cmake --preset release && cmake --build --preset release)');
}

// ---- printing ----------------------------------------------------------------

const tty = process.stdout.isTTY;
// A reader that stops early (| head) is not a failure of the demo: stop
// printing and let the conversation finish and clean up.
process.stdout.on('error', (err) => {
  if (err.code !== 'EPIPE') throw err;
  console.log = () => {};
});
const paint = (code) => (s) => (tty ? `\x1b[${code}m${s}\x1b[0m` : s);
const bold = paint('1');
const dim = paint('2');
const red = paint('31');
const green = paint('32');
const cyan = paint('36');

function abbreviate(text) {
  const lines = text.split('\n').map((l) => (l.length > MAX_LINE_CHARS ? l.slice(0, MAX_LINE_CHARS - 1) + '\u2026' : l));
  if (lines.length <= MAX_LINES) return lines;
  return [...lines.slice(0, MAX_LINES - 1), dim(`\u2026 (${lines.length - MAX_LINES + 1} more lines)`)];
}

function show(prefix, text) {
  for (const line of abbreviate(text)) console.log(`${prefix}${line}`);
}

function step(title) {
  console.log('');
  console.log(bold(`== ${title}`));
}

// ---- processes ---------------------------------------------------------------

function waitForExit(child, ms) {
  if (child.exitCode !== null || child.signalCode !== null) {
    return Promise.resolve(child.exitCode ?? child.signalCode);
  }
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve('timeout'), ms);
    child.once('exit', (code, signal) => {
      clearTimeout(timer);
      resolve(code ?? signal);
    });
  });
}

async function stop(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  child.kill('SIGTERM');
  if ((await waitForExit(child, 3000)) === 'timeout') {
    child.kill('SIGKILL');
    await waitForExit(child, 3000);
  }
}

function startCore(bin, socket) {
  const child = spawn(bin, ['--socket', socket], { stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  child.stderr.setEncoding('utf8');
  const ready = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`the demo core did not start: ${stderr}`)), START_TIMEOUT_MS);
    child.stderr.on('data', (chunk) => {
      stderr += chunk;
      // The whole line, so that it names the socket.
      if (/listening[^\n]*\n/.test(stderr)) {
        clearTimeout(timer);
        resolve(stderr.trim());
      }
    });
    child.once('exit', (code, signal) => {
      clearTimeout(timer);
      reject(new Error(`the demo core exited (${code ?? signal}): ${stderr.trim()}`));
    });
    child.once('error', reject);
  });
  return { child, ready };
}

// trelvo-mcp as a child speaking JSON-RPC, one message per line.
class Server {
  constructor(bin, socket) {
    this.child = spawn(bin, [], {
      env: { ...process.env, TRELVO_MCP_SOCKET: socket },
      stdio: ['pipe', 'pipe', 'inherit'],
    });
    this.waiting = new Map();
    this.nextId = 1;
    createInterface({ input: this.child.stdout }).on('line', (line) => {
      let msg;
      try {
        msg = JSON.parse(line);
      } catch {
        this.fault = new Error(`trelvo-mcp wrote a line that is not JSON: ${line}`);
        return;
      }
      const resolve = this.waiting.get(msg.id);
      if (resolve) {
        this.waiting.delete(msg.id);
        resolve(msg);
      } else {
        this.fault = new Error(`unexpected line from trelvo-mcp: ${line}`);
      }
    });
    this.child.once('exit', (code, signal) => {
      for (const resolve of this.waiting.values()) resolve({ exited: code ?? signal });
      this.waiting.clear();
    });
  }

  notify(method, params) {
    const msg = { jsonrpc: '2.0', method, ...(params === undefined ? {} : { params }) };
    show(cyan('\u2192 '), JSON.stringify(msg));
    this.child.stdin.write(JSON.stringify(msg) + '\n');
  }

  request(method, params) {
    const id = this.nextId++;
    const msg = { jsonrpc: '2.0', id, method, ...(params === undefined ? {} : { params }) };
    show(cyan('\u2192 '), JSON.stringify(msg));
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.waiting.delete(id);
        reject(new Error(`no answer to ${method} within ${ANSWER_TIMEOUT_MS} ms`));
      }, ANSWER_TIMEOUT_MS);
      this.waiting.set(id, (answer) => {
        clearTimeout(timer);
        if ('exited' in answer) reject(new Error(`trelvo-mcp exited (${answer.exited}) during ${method}`));
        else resolve(answer);
      });
      this.child.stdin.write(JSON.stringify(msg) + '\n');
    });
  }

  // Ends the conversation the way a host does: closes standard input.
  async close() {
    this.child.stdin.end();
    const status = await waitForExit(this.child, 5000);
    if (status === 'timeout') await stop(this.child);
    return status;
  }
}

// ---- the conversation --------------------------------------------------------

class Unexpected extends Error {}

function expect(condition, what) {
  if (!condition) throw new Unexpected(what);
}

// Calls a tool, prints the answer and returns its text (parsed when JSON).
async function tool(server, name, args, { isError = false } = {}) {
  const answer = await server.request('tools/call', { name, arguments: args });
  expect(!answer.error, `${name} failed with a JSON-RPC error: ${JSON.stringify(answer.error)}`);
  const result = answer.result;
  expect(result && Array.isArray(result.content) && result.content.length === 1, `${name}: malformed result`);
  const text = result.content[0].text;
  if (result.isError) {
    show(red('\u2190 error result: '), text);
  } else {
    console.log(green('\u2190 result:'));
    show('  ', text);
  }
  expect(result.isError === isError, `${name}: isError is ${result.isError}, expected ${isError}`);
  return isError ? text : JSON.parse(text);
}

async function converse(server) {
  step('initialize');
  const init = await server.request('initialize', {
    protocolVersion: '2025-06-18',
    capabilities: {},
    clientInfo: { name: 'trelvo-demo', version: '1.0' },
  });
  expect(init.result, `initialize failed: ${JSON.stringify(init.error)}`);
  show(green('\u2190 '), JSON.stringify(init.result));
  server.notify('notifications/initialized');

  step('tools/list (names only)');
  const list = await server.request('tools/list');
  expect(list.result?.tools?.length === 7, 'tools/list did not return seven tools');
  show(green('\u2190 '), list.result.tools.map((t) => t.name).join(', '));

  step('list_flows: the three newest flows');
  const flows = await tool(server, 'list_flows', { limit: 3 });
  expect(flows.flows.length > 0, 'the demo core holds no flows');

  step(`get_flow: headers of flow ${flows.flows[0].id}`);
  const flow = await tool(server, 'get_flow', { flow_id: flows.flows[0].id });
  expect(flow.summary?.id === flows.flows[0].id, 'get_flow returned another flow');

  step('get_capture_status');
  await tool(server, 'get_capture_status', {});

  step('get_findings');
  const findings = await tool(server, 'get_findings', {});
  expect(findings.items?.every((i) => typeof i.summary === 'string'), 'a finding lacks its summary');

  step('list_pages');
  const pages = await tool(server, 'list_pages', {});
  const page = pages.devices?.[0]?.pages?.[0];
  expect(page, 'the demo core lists no page');

  step(`get_console_messages: the two newest messages of "${page.title}"`);
  const consoleOut = await tool(server, 'get_console_messages', { page_handle: page.page_handle, limit: 2 });
  expect(typeof consoleOut.time_semantics === 'string', 'console messages lack time_semantics');

  step('evaluate_js: document.title');
  const evaluated = await tool(server, 'evaluate_js', {
    page_handle: page.page_handle,
    expression: 'document.title',
  });
  expect(evaluated.result === page.title, 'evaluate_js did not return the page title');

  step('a failure: get_flow of an id the core does not hold');
  const missing = await tool(server, 'get_flow', { flow_id: 999999 }, { isError: true });
  expect(missing === NOT_FOUND, `unexpected failure text: ${missing}`);

  step('an argument error: get_flow without flow_id');
  const bad = await server.request('tools/call', { name: 'get_flow', arguments: {} });
  expect(bad.error, 'get_flow without flow_id was not rejected');
  show(red('\u2190 JSON-RPC error: '), JSON.stringify(bad.error));
  expect(bad.error.code === -32602, `unexpected error code ${bad.error.code}`);

  expect(!server.fault, server.fault?.message);
}

async function main() {
  const bins = findBinaries();
  // Under /tmp, not TMPDIR: a socket path must fit 103 bytes, and a Mac's TMPDIR is long.
  const dir = mkdtempSync('/tmp/trelvo-demo-');
  const socket = path.join(dir, 'core.sock');
  let core;
  let server;
  let ok = false;
  // Whatever ends this process (a crash, Ctrl-C, a closed pipe on standard
  // output), the children and the folder must not outlive it.
  process.on('exit', () => {
    for (const child of [server?.child, core?.child]) {
      if (child && child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    }
    rmSync(dir, { recursive: true, force: true });
  });
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, () => process.exit(1));
  try {
    step('starting the demo core');
    core = startCore(bins.core, socket);
    console.log(dim(await core.ready));
    console.log(dim(`trelvo-mcp: ${bins.mcp} with TRELVO_MCP_SOCKET=${socket}`));
    server = new Server(bins.mcp, socket);
    await converse(server);
    const status = await server.close();
    expect(status === 0, `trelvo-mcp exited with ${status} at the end of input`);
    ok = true;
  } catch (err) {
    console.error('');
    console.error(red(`demo failed: ${err.message}`));
  } finally {
    if (server) await stop(server.child);
    if (core) await stop(core.child);
    rmSync(dir, { recursive: true, force: true });
  }
  console.log('');
  console.log(ok ? green('Demo finished; both processes stopped and the socket removed.') : red('Demo failed.'));
  return ok ? 0 : 1;
}

main().then(
  (code) => process.exit(code),
  (err) => {
    console.error(err);
    process.exit(1);
  },
);
