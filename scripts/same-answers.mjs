#!/usr/bin/env node
// Plays one scripted MCP session against two builds and checks that they
// answer byte for byte the same, times (and ids made from them) aside. CI holds
// the clang/libc++ build and the aarch64 build (under qemu user emulation) to
// the g++/x86-64 one.
//
//   node scripts/same-answers.mjs --reference DIR --candidate DIR [--emulator CMD]
//
// Each DIR holds trelvo-mcp and trelvo-demo-core; CMD (e.g. qemu-aarch64) is
// put in front of both of the candidate's programs. The session takes its flow
// ids and page handles from the reference's answers, and the candidate is sent
// the very same lines. Exits 1 at the first difference, crash or silence.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';

// Emulation is 5-20x slower, and the multi-MB bodies take seconds there; still
// above the server's own 15 s limit on a core call.
const ANSWER_TIMEOUT_MS = 60_000;
const START_STOP_MS = 30_000; // for a program to start or to exit

// What legitimately differs between two runs, found by running the reference
// against itself: the demo core stamps its sample capture relative to the
// moment it started, so these move from run to run and nothing else does:
// ISO times (flow times, received_at, times in findings sentences), epoch
// milliseconds (generated_at, oldest_flow_time, the findings' at/last_at),
// HTTP dates (the flows' date headers) and the x-request-id values, which the
// core derives from each flow's time. Masks keep the length, so a reported
// position is a byte offset into the raw answer.
const MASKS = [
  /\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z/g,
  /(?<![\w.])\d{13}(?![\w.])/g,
  /(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT/g,
  /[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-a[0-9a-f]{3}-[0-9a-f]{12}/g,
];
const masked = (answer) => MASKS.reduce((text, re) => text.replace(re, (m) => '#'.repeat(m.length)), answer);

// Answers are kept as latin1 strings: one character per byte, so comparing
// them compares bytes, and invalid UTF-8 would not be papered over.
const utf8 = (bytes) => Buffer.from(bytes, 'latin1').toString('utf8');
const clip = (text, n = 300) => (text.length > n ? `${text.slice(0, n)}\u2026 (${text.length} bytes)` : text.trim());

class Failure extends Error {}

const live = new Set(); // builds to clean up whatever ends this process
process.on('exit', () => {
  for (const build of live) {
    for (const child of [build.server, build.core]) if (child?.exitCode === null) child.kill('SIGKILL');
    rmSync(build.dir, { recursive: true, force: true });
  }
});
for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, () => process.exit(1));

// One build's demo core and trelvo-mcp, the server fed one line at a time.
class Build {
  constructor(name, dir, emulator) {
    this.name = name;
    this.run = (program, args, options) => {
      const [command, ...rest] = [...emulator, path.resolve(dir, program), ...args];
      return spawn(command, rest, options);
    };
    // Under /tmp, not TMPDIR: a socket path must fit 103 bytes, and a Mac's TMPDIR is long.
    this.dir = mkdtempSync('/tmp/trelvo-same-');
    this.lines = []; // answer lines not yet taken
    this.partial = []; // the start of the next one
    this.stderr = '';
    this.wake = () => {}; // whatever waits in until()
    live.add(this);
  }

  async start() {
    const socket = path.join(this.dir, 'core.sock');
    this.core = this.run('trelvo-demo-core', ['--socket', socket], { stdio: ['ignore', 'ignore', 'pipe'] });
    let said = '';
    const hear = (text, gone = false) => {
      said += text;
      this.coreGone ||= gone;
      this.wake();
    };
    this.core.once('error', (err) => hear(err.message, true));
    this.core.once('exit', (code, signal) => hear(`\nexited (${code ?? signal})`, true));
    // Drained to the end, so the core never blocks on a full pipe.
    this.core.stderr.setEncoding('utf8').on('data', (chunk) => hear(chunk));
    if (!(await this.until(() => /listening/.test(said) || this.coreGone, START_STOP_MS)) || this.coreGone) {
      const late = this.coreGone ? '' : ` within ${START_STOP_MS / 1000} s`;
      throw new Failure(`${this.name}: the demo core did not start${late}: ${clip(said).replace(/\n+/g, '; ')}`);
    }
    this.server = this.run('trelvo-mcp', [], { env: { ...process.env, TRELVO_MCP_SOCKET: socket }, stdio: 'pipe' });
    this.server.once('error', (err) => (this.stderr += `could not run: ${err.message}`));
    this.server.stdin.on('error', () => {}); // a server gone early shows as its exit
    this.server.stderr.setEncoding('utf8').on('data', (chunk) => (this.stderr += chunk));
    this.server.stdout.on('data', (chunk) => {
      let start = 0;
      for (let nl; (nl = chunk.indexOf(10, start)) !== -1; start = nl + 1) {
        this.partial.push(chunk.subarray(start, nl));
        this.lines.push(Buffer.concat(this.partial).toString('latin1'));
        this.partial = [];
      }
      if (start < chunk.length) this.partial.push(chunk.subarray(start));
      this.wake();
    });
    // After the exit and the last of its output.
    this.server.once('close', (code, signal) => {
      this.status = code ?? signal;
      this.wake();
    });
  }

  // Resolves to done() once it holds or `ms` have passed; each thing the
  // server does wakes it to look again.
  async until(done, ms) {
    const deadline = Date.now() + ms;
    while (!done() && Date.now() < deadline) {
      await new Promise((resolve) => {
        const timer = setTimeout(resolve, deadline - Date.now());
        this.wake = () => resolve(clearTimeout(timer));
      });
    }
    return done();
  }

  // Sends one line; resolves to the next answer line, or to null at once for a
  // line that gets none.
  async ask(line, answered) {
    this.server.stdin.write(line + '\n');
    if (!answered) return null;
    await this.until(() => this.lines.length || this.status !== undefined, ANSWER_TIMEOUT_MS);
    if (this.lines.length) return this.lines.shift();
    const problem = this.status === undefined ? `no answer within ${ANSWER_TIMEOUT_MS / 1000} s`
      : `trelvo-mcp exited (${this.status}) before answering`;
    const stderr = this.stderr && `\n  stderr: ${clip(this.stderr)}`;
    throw new Failure(`${this.name}: ${problem}\n  request: ${clip(line)}${stderr}`);
  }

  // Ends the session as a host does, by closing standard input; returns what
  // came after the last answer (nothing, from a sound server).
  async finish() {
    this.server.stdin.end();
    if (!(await this.until(() => this.status !== undefined, START_STOP_MS))) {
      throw new Failure(`${this.name}: trelvo-mcp did not exit at the end of input`);
    }
    if (this.status !== 0) throw new Failure(`${this.name}: trelvo-mcp exited (${this.status}): ${clip(this.stderr)}`);
    if (this.stderr) throw new Failure(`${this.name}: trelvo-mcp wrote to stderr: ${clip(this.stderr)}`);
    const unfinished = this.partial.length ? [`${Buffer.concat(this.partial).toString('latin1')} (no line feed)`] : [];
    return [...this.lines, ...unfinished].join('\n');
  }

  async cleanup() {
    if (this.server?.exitCode === null) this.server.kill('SIGKILL');
    if (this.core && !this.coreGone) {
      this.core.kill('SIGTERM');
      if (!(await this.until(() => this.coreGone, START_STOP_MS))) this.core.kill('SIGKILL');
    }
    rmSync(this.dir, { recursive: true, force: true });
    live.delete(this);
  }
}

// ---- the session -------------------------------------------------------------

// max_body_bytes: undefined is the default; the last lets every body through.
const BODY_LIMITS = [undefined, 0, 1, 2, 3, 7, 100, 100_000_000];
const STATUSES = ['1xx', '2xx', '3xx', '4xx', '5xx', '200', '201', '204', '301', '304', '401', '404', '503', '999'];
const LEVELS = ['debug', 'log', 'info', 'warn', 'error', 'verbose'];
const EXPRESSIONS = ['document.title', 'location.href', 'navigator.userAgent', 'document.readyState',
  'window.nope()', 'while (true) {}'];

// Lines a JavaScript value cannot stand for (ids past a double's precision or
// range, broken JSON), and lines that get no answer.
const ping = (id) => `{"jsonrpc":"2.0","id":${id},"method":"ping"}`;
const nested = (depth) => ping(`${depth},"params":${'['.repeat(depth - 1)}${']'.repeat(depth - 1)}`);
const ANSWERED = [
  ...['18446744073709551615', '18446744073709551616', '-9223372036854775808', '123456789012345678901234567890',
    '1e300', '1.5', '0.1', '-0.0', '5e-324', '1E+2', `1${'0'.repeat(300)}`, `0.${'3'.repeat(400)}`,
    `1${'0'.repeat(400)}`, '"\u00e9t\u00e9 \ud83d\ude00"', 'true', 'null', '{}', '01'].map(ping),
  nested(127), nested(128), '['.repeat(5000), '{', 'nope', '{"a":1}}', ping(1).slice(0, -1), ping('1,'),
  `{"jsonrpc":"2.0","id":"${'\u00e9'.repeat(80)}`, ping(1).replace('ping', 'p\u0000ing'), `\ufeff${ping(1)}`,
  `${ping(1)}\r`, '{"id":1,"method":"ping"}', '{"jsonrpc":"1.0","id":1,"method":"ping"}', '{"jsonrpc":"2.0","id":1}',
  '{"jsonrpc":"2.0","id":1,"method":5}', '{"jsonrpc":"2.0","id":1,"method":"notifications/initialized"}',
];
const UNANSWERED = ['', ' \t\u3000', '[1,2]', '42', '{"jsonrpc":"2.0","method":"tools/list"}',
  '{"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":1}}'];

// JSON text in which BigInts (integers past 2^53) are written as numbers.
const json = (value) =>
  JSON.stringify(value, (_, v) => (typeof v === 'bigint' ? `#big${v}#` : v)).replace(/"#big(\d+)#"/g, '$1');

// `ask(line, answered)` sends a line and resolves to its answer.
async function converse(ask) {
  let id = 1;
  const request = (method, params) =>
    ask(json({ jsonrpc: '2.0', id: id++, method, ...(params && { params }) }), true);
  const call = (name, args) => request('tools/call', { name, arguments: args });
  const text = (answer) => JSON.parse(JSON.parse(utf8(answer)).result.content[0].text);

  const client = { name: 'same-answers', version: '1' };
  await request('initialize', { protocolVersion: '2025-06-18', capabilities: {}, clientInfo: client });
  await ask(json({ jsonrpc: '2.0', method: 'notifications/initialized' }), false);
  await request('initialize', { protocolVersion: '1999-01-01' });
  await request('initialize');
  await request('ping');
  await request('tools/list');

  for (const args of [{}, { limit: 0 }, { limit: 1 }, { limit: 201 }, { limit: 18446744073709551615n },
    ...STATUSES.map((status) => ({ status })), { host: 'api.nimbusmart.test' }, { host: 'API.NimbusMart.TEST' },
    { host: 'nowhere.test' }, { path_contains: 'CART' }, { method: 'POST' },
    { method: 'post', status: '2xx', host: 'api.nimbusmart.test', limit: 2 },
    { since_seq: 0 }, { since_seq: 20 }, { since_seq: 34 }, { since_seq: 1000, limit: 200 }]) {
    await call('list_flows', args);
  }
  const { flows } = text(await call('list_flows', { limit: 200 }));
  for (const { id: flow_id } of flows) {
    await call('get_flow', { flow_id });
    let whole;
    for (const max of BODY_LIMITS) {
      whole = text(await call('get_flow', { flow_id, include_bodies: true, max_body_bytes: max }));
    }
    // Limits that end inside, and just after, each body's first multi-byte
    // character: the cut must step back to a character boundary.
    const cuts = new Set(['request', 'response'].flatMap((side) => {
      const at = Buffer.from(whole[side]?.body?.text ?? '').findIndex((byte) => byte >= 0x80);
      return at < 0 ? [] : [at + 1, at + 2, at + 3, at + 4];
    }));
    for (const max of cuts) await call('get_flow', { flow_id, include_bodies: true, max_body_bytes: max });
  }
  for (const id of [0, 999999, 18446744073709551615n]) await call('get_flow', { flow_id: id, include_bodies: true });

  await call('get_capture_status', {});
  await call('get_findings', {});
  const { devices } = text(await call('list_pages', {}));
  const handles = [...devices.flatMap((d) => d.pages.map((p) => p.page_handle)), 'pg-00000000'];
  for (const page_handle of handles) {
    for (const args of [{}, ...LEVELS.map((level) => ({ level })), { newest_first: false }, { limit: 0 }, { limit: 1 },
      { limit: 501 }, { since_seq: 3 }, { since_seq: 3, newest_first: false, level: 'log', limit: 2 }]) {
      await call('get_console_messages', { page_handle, ...args });
    }
    for (const expression of EXPRESSIONS) await call('evaluate_js', { page_handle, expression });
  }

  // Bad arguments (-32602), unknown tools and methods.
  const flow_id = flows[0].id;
  const page_handle = handles[0];
  for (const [name, args] of [['get_flow', {}], ['get_flow', { flow_id: String(flow_id) }],
    ['get_flow', { flow_id: -1 }], ['get_flow', { flow_id: 1.5 }], ['get_flow', { flow_id: 4e4 }],
    ['get_flow', { flow_id, include_bodies: 'yes' }], ['get_flow', { flow_id, max_body_bytes: -7 }],
    ['list_flows', { limit: '10', status: 4 }], ['list_flows', []], ['list_flows', null], ['get_console_messages', {}],
    ['get_console_messages', { page_handle, level: 5 }], ['evaluate_js', { page_handle }],
    ['evaluate_js', { expression: '1' }], ['no_such_tool', {}], ['no_such_tool', { limit: -1 }], ['', {}]]) {
    await call(name, args);
  }
  await request('tools/call', { name: 'get_capture_status' });
  await request('tools/call');
  await request('resources/list');
  await request('prompts/get', { name: 'x' });
  for (const line of ANSWERED) await ask(line, true);
  for (const line of UNANSWERED) await ask(line, false);
  await request('ping');
}

function compare(reference, candidate, request) {
  const [a, b] = [masked(reference ?? '(no answer)'), masked(candidate ?? '(no answer)')];
  if (a === b) return;
  let at = 0;
  while (a[at] === b[at]) at++;
  const from = Math.max(0, at - 60);
  const excerpt = (s) => (from > 0 ? '\u2026' : '') + utf8(s.slice(from, at + 100)).replace(/\n/g, '\\n') +
    (at + 100 < s.length ? '\u2026' : '');
  throw new Failure(`answers differ at byte ${at} (reference ${a.length} bytes, candidate ${b.length})\n` +
    `  request:   ${clip(request)}\n  reference: ${excerpt(a)}\n  candidate: ${excerpt(b)}`);
}

async function session(build, play) {
  const started = Date.now();
  try {
    await build.start();
    await play((line, answered) => build.ask(line, answered));
    return { rest: await build.finish(), seconds: ((Date.now() - started) / 1000).toFixed(1) };
  } finally {
    await build.cleanup();
  }
}

async function main() {
  const options = { reference: { type: 'string' }, candidate: { type: 'string' }, emulator: { type: 'string' } };
  const { values: opts } = parseArgs({ options });
  if (!opts.reference || !opts.candidate) {
    console.error('usage: node scripts/same-answers.mjs --reference DIR --candidate DIR [--emulator CMD]');
    return 2;
  }
  const emulator = opts.emulator ? opts.emulator.trim().split(/\s+/) : [];
  try {
    const sent = []; // each line with the reference's answer, null for none
    const ref = await session(new Build('reference', opts.reference, []), (ask) =>
      converse(async (line, answered) => {
        sent.push({ line, answer: await ask(line, answered) });
        return sent.at(-1).answer;
      }));
    const cand = await session(new Build('candidate', opts.candidate, emulator), async (ask) => {
      for (const { line, answer } of sent) compare(answer, await ask(line, answer !== null), line);
    });
    compare(ref.rest, cand.rest, '(output after the end of input)');
    console.log(`same answers: ${sent.length} requests, ${opts.reference} vs ${opts.candidate}` +
      `${opts.emulator ? ` under ${opts.emulator}` : ''} (${ref.seconds} s and ${cand.seconds} s)`);
    return 0;
  } catch (err) {
    if (!(err instanceof Failure)) throw err;
    console.error(`same-answers: ${err.message}`);
    return 1;
  }
}

process.exit(await main());
