// trelvo-mcp driven by the official MCP SDK client over stdio, against the
// demo core. Every tool result is checked twice: the SDK must accept it, and
// its content must match what the demo core itself answers on its socket.
import assert from 'node:assert/strict';
import { rmSync } from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { McpError } from '@modelcontextprotocol/sdk/types.js';

import {
  CoreSocket,
  MCP_BIN,
  TEXT,
  TOOL_NAMES,
  expectedSummary,
  makeTempDir,
  requireBinaries,
  startDemoCore,
  within,
} from './harness.mjs';

const SUITE_TIMEOUT = 90_000;
const CALL_TIMEOUT = 20_000; // above the server's own 15 s core deadline

// An SDK client connected to a fresh trelvo-mcp that talks to `socket`.
async function connectClient(socket) {
  const transport = new StdioClientTransport({
    command: MCP_BIN,
    args: [],
    env: { TRELVO_MCP_SOCKET: socket },
    stderr: 'pipe',
  });
  let stderr = '';
  transport.stderr?.on('data', (chunk) => {
    stderr += chunk;
  });
  const client = new Client({ name: 'trelvo-e2e', version: '1.0.0' });
  await within(CALL_TIMEOUT, client.connect(transport), 'initialize');
  return {
    client,
    stderr: () => stderr,
    async close() {
      await within(10_000, client.close(), 'closing the client');
    },
  };
}

async function call(client, name, args) {
  return within(CALL_TIMEOUT, client.callTool({ name, arguments: args }, undefined, { timeout: CALL_TIMEOUT }), name);
}

// The only content item, checked for the envelope's shape.
function textOf(result) {
  assert.equal(result.content.length, 1, 'exactly one content item');
  assert.equal(result.content[0].type, 'text');
  assert.equal(typeof result.content[0].text, 'string');
  return result.content[0].text;
}

function successJson(result) {
  const text = textOf(result);
  assert.equal(result.isError, false, `expected success, got: ${text}`);
  return JSON.parse(text);
}

function errorText(result) {
  const text = textOf(result);
  assert.equal(result.isError, true, `expected an error result, got: ${text}`);
  return text;
}

async function assertArgumentError(client, name, args, message) {
  await assert.rejects(call(client, name, args), (err) => {
    assert.ok(err instanceof McpError, `expected McpError, got ${err}`);
    assert.equal(err.code, -32602);
    assert.equal(err.message, `MCP error -32602: ${message}`);
    return true;
  });
}

requireBinaries();

describe('trelvo-mcp with the SDK client and the demo core', { timeout: SUITE_TIMEOUT }, () => {
  let core;
  let direct; // our own connection to the demo core, for the expected data
  let session;

  before(async () => {
    core = await startDemoCore();
    direct = await CoreSocket.open(core.socket);
    session = await connectClient(core.socket);
  });

  after(async () => {
    await session?.close();
    direct?.close();
    await core?.stop();
  });

  test('initialize negotiates and names the server', () => {
    const info = session.client.getServerVersion();
    assert.equal(info.name, 'trelvo');
    assert.equal(typeof info.version, 'string');
    assert.deepEqual(session.client.getServerCapabilities().tools, {});
  });

  test('ping is answered', async () => {
    assert.deepEqual(await within(CALL_TIMEOUT, session.client.ping(), 'ping'), {});
  });

  test('tools/list gives the seven tools in order with their schemas', async () => {
    const { tools, nextCursor } = await within(CALL_TIMEOUT, session.client.listTools(), 'tools/list');
    assert.equal(nextCursor, undefined);
    assert.deepEqual(
      tools.map((t) => t.name),
      TOOL_NAMES,
    );
    for (const tool of tools) {
      assert.deepEqual(Object.keys(tool).sort(), ['description', 'inputSchema', 'name']);
      assert.equal(tool.inputSchema.type, 'object');
      assert.ok(tool.description.length > 20, `${tool.name} has a description`);
    }
    const byName = Object.fromEntries(tools.map((t) => [t.name, t.inputSchema]));
    assert.deepEqual(byName.get_flow.required, ['flow_id']);
    assert.deepEqual(byName.get_console_messages.required, ['page_handle']);
    assert.deepEqual(byName.evaluate_js.required, ['page_handle', 'expression']);
    for (const name of ['list_flows', 'get_capture_status', 'get_findings', 'list_pages']) {
      assert.equal('required' in byName[name], false, `${name} has no required member`);
    }
    assert.deepEqual(Object.keys(byName.list_flows.properties).sort(), [
      'host',
      'limit',
      'method',
      'path_contains',
      'since_seq',
      'status',
    ]);
    assert.deepEqual(byName.get_console_messages.properties.level.enum, [
      'debug',
      'log',
      'info',
      'warn',
      'error',
    ]);
  });

  describe('flows', () => {
    test('list_flows shows the core flows newest first as eleven-key summaries', async () => {
      const got = successJson(await call(session.client, 'list_flows', {}));
      const want = await direct.call('flow.list', { limit: 50, newestFirst: true });
      assert.ok(want.flows.length > 0, 'the demo core holds flows');
      assert.deepEqual(Object.keys(got), ['flows', 'total_in_store', 'truncated']);
      assert.deepEqual(got.flows, [...want.flows].reverse().map(expectedSummary));
      assert.equal(got.total_in_store, want.matchedTotal);
      assert.equal(got.truncated, want.flows.length < want.matchedTotal);
      for (const flow of got.flows) {
        assert.deepEqual(Object.keys(flow), [
          'completed',
          'content_type',
          'duration_ms',
          'error',
          'id',
          'method',
          'resp_size',
          'seq',
          'status',
          'time',
          'url',
        ]);
      }
      const seqs = got.flows.map((f) => f.seq);
      assert.deepEqual(seqs, [...seqs].sort((a, b) => b - a), 'newest (highest seq) first');
    });

    test('list_flows passes filters and the limit to the core', async () => {
      const limited = successJson(await call(session.client, 'list_flows', { limit: 3 }));
      assert.equal(limited.flows.length, 3);
      assert.equal(limited.truncated, limited.total_in_store > 3);

      const all = successJson(await call(session.client, 'list_flows', { limit: 200 }));
      const host = new URL(all.flows[0].url).host;
      const byHost = successJson(
        await call(session.client, 'list_flows', { host: host.toUpperCase(), status: '2xx', limit: 200 }),
      );
      const want = await direct.call('flow.list', {
        limit: 200,
        newestFirst: true,
        host: host.toUpperCase(),
        status: '2xx',
      });
      assert.deepEqual(byHost.flows, [...want.flows].reverse().map(expectedSummary));
      for (const flow of byHost.flows) {
        assert.equal(new URL(flow.url).host, host);
        assert.ok(flow.status >= 200 && flow.status < 300, `status ${flow.status} is 2xx`);
      }

      const newest = all.flows[0].seq;
      const since = successJson(await call(session.client, 'list_flows', { since_seq: newest - 2 }));
      assert.deepEqual(
        since.flows.map((f) => f.seq),
        [newest, newest - 1],
      );
    });

    test('get_flow shows headers and omits bodies unless asked', async () => {
      const { flows } = successJson(await call(session.client, 'list_flows', { limit: 200 }));
      // A flow that has a response body, so the omitted note has a size to show.
      let chosen;
      let detail;
      for (const flow of flows) {
        detail = await direct.call('flow.getDetail', { flowId: flow.id });
        if (detail.respBodyB64 && detail.respHeaders.length > 0) {
          chosen = flow;
          break;
        }
      }
      assert.ok(chosen, 'the demo core holds a flow with a response body');

      const got = successJson(await call(session.client, 'get_flow', { flow_id: chosen.id }));
      assert.deepEqual(Object.keys(got), ['request', 'response', 'summary']);
      assert.deepEqual(got.summary, chosen);
      assert.deepEqual(got.summary, expectedSummary(detail.summary));
      assert.deepEqual(got.request.headers, detail.reqHeaders);
      assert.deepEqual(got.response.headers, detail.respHeaders);
      assert.deepEqual(got.response.body, { note: TEXT.omittedNote, size: detail.respBodyMeta.total });
      assert.deepEqual(got.request.body, { note: TEXT.omittedNote, size: detail.reqBodyMeta.total });
    });

    test('get_flow with include_bodies decodes text bodies and cuts them to max_body_bytes', async () => {
      const { flows } = successJson(await call(session.client, 'list_flows', { limit: 200 }));
      let chosen;
      let bytes;
      for (const flow of flows) {
        const detail = await direct.call('flow.getDetail', { flowId: flow.id });
        const raw = Buffer.from(detail.respBodyB64 ?? '', 'base64');
        const meta = detail.respBodyMeta;
        if (raw.length > 16 && !meta.truncated && !meta.dropped && isPrintableAscii(raw)) {
          chosen = { flow, meta };
          bytes = raw;
          break;
        }
      }
      assert.ok(chosen, 'the demo core holds an ASCII response body');

      const whole = successJson(
        await call(session.client, 'get_flow', { flow_id: chosen.flow.id, include_bodies: true }),
      );
      assert.deepEqual(whole.response.body, {
        original_size: chosen.meta.total,
        text: bytes.toString('utf8'),
        truncated: false,
      });

      const cut = successJson(
        await call(session.client, 'get_flow', {
          flow_id: chosen.flow.id,
          include_bodies: true,
          max_body_bytes: 10,
        }),
      );
      assert.deepEqual(cut.response.body, {
        original_size: chosen.meta.total,
        text: bytes.subarray(0, 10).toString('utf8'),
        truncated: true,
      });
    });

    test('get_flow of an unknown id is an error result with the eviction sentence', async () => {
      const result = await call(session.client, 'get_flow', { flow_id: 987654321 });
      assert.equal(errorText(result), TEXT.flowNotFound);
    });

    test("a core refusal without a sentence of its own reads as 'Trelvo error: '", async () => {
      // The demo core rejects a status filter that is neither a code nor a class.
      const text = errorText(await call(session.client, 'list_flows', { status: 'teapot' }));
      assert.match(text, /^Trelvo error: ./);
    });
  });

  describe('capture status and findings', () => {
    test('get_capture_status reports the five members from the core', async () => {
      const got = successJson(await call(session.client, 'get_capture_status', {}));
      const want = await direct.call('mcp.status');
      assert.deepEqual(got, {
        decrypt_allowlist: want.decryptHosts,
        flow_count: want.flowCount,
        oldest_flow_time: want.oldestFlowTs,
        paused: want.paused,
        proxy_port: want.proxyPort,
      });
      assert.deepEqual(Object.keys(got), [
        'decrypt_allowlist',
        'flow_count',
        'oldest_flow_time',
        'paused',
        'proxy_port',
      ]);
      assert.equal(typeof got.proxy_port, 'number');
      assert.ok(got.flow_count > 0);
    });

    test('get_findings relays every item with snake_case keys and a summary', async () => {
      const got = successJson(await call(session.client, 'get_findings', {}));
      const want = await direct.call('findings.get');
      assert.ok(Array.isArray(want.items) && want.items.length > 0, 'the demo core has findings');
      assert.equal(got.items.length, want.items.length);
      got.items.forEach((item, i) => {
        const source = want.items[i];
        assert.equal(item.kind, source.kind);
        assert.equal(item.code, source.code);
        assert.equal(item.question, source.question);
        assert.equal(typeof item.summary, 'string');
        assert.ok(item.summary.length > 0, `item ${i} (${item.code ?? item.question}) has a summary`);
        assertNoCapitalKeys(item);
      });
      const unknown = got.items.find((item) => item.kind === 'unknown');
      assert.ok(unknown, 'the demo report has an open question');
      assert.ok(Array.isArray(unknown.would_decide), 'unknowns carry would_decide');
    });
  });

  describe('web inspector', () => {
    let devices;

    test('list_pages groups the core pages by device', async () => {
      const got = successJson(await call(session.client, 'list_pages', {}));
      const want = await direct.call('wir.snapshot');
      assert.deepEqual(
        got,
        {
          devices: want.devices.map((d) => ({
            device_id: d.deviceId,
            pages: d.apps.flatMap((a) =>
              a.pages.map((p) => ({
                app_bundle: a.bundleId,
                page_handle: p.pageHandle,
                state: p.state,
                title: p.title,
                url: p.url,
              })),
            ),
          })),
        },
      );
      assert.ok(got.devices.length > 0 && got.devices[0].pages.length > 0, 'demo pages exist');
      devices = got.devices;
    });

    test('get_console_messages returns newest first with time semantics', async () => {
      const page = devices.flatMap((d) => d.pages).find(Boolean);
      const got = successJson(
        await call(session.client, 'get_console_messages', { page_handle: page.page_handle }),
      );
      const want = await direct.call('wir.consoleMessages', {
        pageHandle: page.page_handle,
        limit: 100,
        newestFirst: true,
      });
      assert.equal(got.time_semantics, TEXT.timeSemantics);
      assert.equal(got.truncated, want.truncated ?? false);
      assert.ok(want.messages.length > 0, 'the demo page has console output');
      assert.deepEqual(
        got.messages,
        [...want.messages].reverse().map((m) => ({
          kind: m.kind,
          level: m.level,
          line: m.line,
          nav_gen: m.navGen,
          page_url_at_capture: m.pageUrlAtCapture,
          received_at: m.receivedAt,
          seq: m.seq,
          source: m.sourceUrl,
          text: m.text,
        })),
      );

      const oldestFirst = successJson(
        await call(session.client, 'get_console_messages', {
          page_handle: page.page_handle,
          newest_first: false,
          limit: 2,
        }),
      );
      const seqs = oldestFirst.messages.map((m) => m.seq);
      assert.ok(seqs.length <= 2);
      assert.deepEqual(seqs, [...seqs].sort((a, b) => a - b));
    });

    test('evaluate_js of document.title returns the page title', async () => {
      const page = devices[0].pages[0];
      const got = successJson(
        await call(session.client, 'evaluate_js', {
          page_handle: page.page_handle,
          expression: 'document.title',
        }),
      );
      assert.deepEqual(got, { result: page.title, result_truncated: false, was_thrown: false });
    });

    test('an unknown page handle gives the page-not-found sentence', async () => {
      const text = errorText(
        await call(session.client, 'evaluate_js', { page_handle: 'pg-gone', expression: '1' }),
      );
      assert.equal(text, TEXT.pageNotFound);
    });
  });

  describe('argument errors surface as JSON-RPC -32602', () => {
    test('missing required arguments', async () => {
      await assertArgumentError(session.client, 'get_flow', {}, 'missing required argument: flow_id (integer)');
      await assertArgumentError(
        session.client,
        'evaluate_js',
        { page_handle: 'pg-1' },
        'missing required argument: expression (string)',
      );
      await assertArgumentError(
        session.client,
        'get_console_messages',
        {},
        'missing required argument: page_handle (string)',
      );
    });

    test('mistyped arguments and unknown tools', async () => {
      await assertArgumentError(
        session.client,
        'list_flows',
        { limit: '5' },
        'argument limit must be a non-negative integer',
      );
      await assertArgumentError(session.client, 'list_flows', { limit: -1 }, 'argument limit must be a non-negative integer');
      await assertArgumentError(
        session.client,
        'get_flow',
        { flow_id: 1, include_bodies: 'yes' },
        'argument include_bodies must be a boolean',
      );
      await assertArgumentError(session.client, 'no_such_tool', {}, 'unknown tool: no_such_tool');
    });

    test('the session carries on after errors', async () => {
      successJson(await call(session.client, 'get_capture_status', {}));
    });
  });

  test('trelvo-mcp wrote nothing on standard error', () => {
    assert.equal(session.stderr(), '');
  });
});

describe('trelvo-mcp when the core goes away and comes back', { timeout: SUITE_TIMEOUT }, () => {
  let dir;
  let socket;
  let core;
  let session;

  before(async () => {
    // Our own folder, so the socket path outlives the first core.
    dir = makeTempDir();
    socket = path.join(dir, 'core.sock');
    core = await startDemoCore({ socket });
    session = await connectClient(socket);
  });

  after(async () => {
    await session?.close();
    await core?.stop();
    if (dir) rmSync(dir, { recursive: true, force: true });
  });

  test('a stopped core gives the not-running sentence on every tool', async () => {
    successJson(await call(session.client, 'get_capture_status', {}));
    await core.stop();
    for (const [name, args] of [
      ['list_flows', {}],
      ['get_flow', { flow_id: 1 }],
      ['get_capture_status', {}],
      ['get_findings', {}],
      ['list_pages', {}],
      ['get_console_messages', { page_handle: 'pg-1' }],
      ['evaluate_js', { page_handle: 'pg-1', expression: 'document.title' }],
    ]) {
      assert.equal(errorText(await call(session.client, name, args)), TEXT.notRunning, name);
    }
    // Listing tools does not need the core.
    const { tools } = await within(CALL_TIMEOUT, session.client.listTools(), 'tools/list');
    assert.equal(tools.length, 7);
  });

  test('the same server reconnects once the core is back', async () => {
    core = await startDemoCore({ socket });
    const status = successJson(await call(session.client, 'get_capture_status', {}));
    assert.ok(status.flow_count > 0);
  });

  test('trelvo-mcp wrote nothing on standard error', () => {
    assert.equal(session.stderr(), '');
  });
});

describe('features switched off in the application', { timeout: SUITE_TIMEOUT }, () => {
  const started = [];
  after(async () => {
    for (const { session, core } of started.reverse()) {
      await session?.close();
      await core?.stop();
    }
  });

  async function setUp(...switches) {
    const entry = {};
    started.push(entry);
    entry.core = await startDemoCore({ extraArgs: switches.flatMap((s) => ['--disable', s]) });
    entry.session = await connectClient(entry.core.socket);
    return entry.session.client;
  }

  test('--disable eval and console: those two tools say how to enable them', async () => {
    const client = await setUp('eval', 'console');
    const { devices } = successJson(await call(client, 'list_pages', {}));
    const handle = devices[0].pages[0].page_handle;
    assert.equal(
      errorText(await call(client, 'evaluate_js', { page_handle: handle, expression: 'document.title' })),
      TEXT.evalDisabled,
    );
    assert.equal(
      errorText(await call(client, 'get_console_messages', { page_handle: handle })),
      TEXT.consoleDisabled,
    );
    successJson(await call(client, 'list_flows', { limit: 1 }));
  });

  test('--disable inspection: page tools point to the Console space', async () => {
    const client = await setUp('inspection');
    assert.equal(errorText(await call(client, 'list_pages', {})), TEXT.inspectionDisabled);
    successJson(await call(client, 'get_capture_status', {}));
  });

  test('--disable mcp: the hello is refused and every tool says so', async () => {
    const client = await setUp('mcp');
    assert.equal(errorText(await call(client, 'get_capture_status', {})), TEXT.mcpDisabled);
    assert.equal(errorText(await call(client, 'list_flows', {})), TEXT.mcpDisabled);
  });
});

function isPrintableAscii(buf) {
  return buf.every((b) => b >= 0x20 && b < 0x7f);
}

function assertNoCapitalKeys(value, where = 'item') {
  if (Array.isArray(value)) {
    value.forEach((v, i) => assertNoCapitalKeys(v, `${where}[${i}]`));
  } else if (value && typeof value === 'object') {
    for (const [key, v] of Object.entries(value)) {
      assert.doesNotMatch(key, /[A-Z]/, `${where}.${key} is snake_case`);
      assertNoCapitalKeys(v, `${where}.${key}`);
    }
  }
}
