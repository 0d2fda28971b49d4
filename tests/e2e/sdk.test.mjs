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

import { CoreSocket, MCP_BIN, TEXT, TOOL_NAMES, expectedSummary, makeTempDir, requireBinaries, startDemoCore, within }
  from './harness.mjs';

const CALL_TIMEOUT = 20_000; // above the server's own 15 s core deadline

// An SDK client connected to a fresh trelvo-mcp that talks to `socket`.
async function connectClient(socket) {
  const transport = new StdioClientTransport({ command: MCP_BIN, env: { TRELVO_MCP_SOCKET: socket }, stderr: 'pipe' });
  let stderr = '';
  transport.stderr?.on('data', (chunk) => (stderr += chunk));
  const client = new Client({ name: 'trelvo-e2e', version: '1.0.0' });
  await within(CALL_TIMEOUT, client.connect(transport), 'initialize');
  return { client, stderr: () => stderr, close: () => within(10_000, client.close(), 'closing the client') };
}

function call(client, name, args) {
  return within(CALL_TIMEOUT, client.callTool({ name, arguments: args }, undefined, { timeout: CALL_TIMEOUT }), name);
}

// The only content item's text, once the envelope and isError are checked.
function textOf(result, isError) {
  assert.equal(result.content.length, 1, 'exactly one content item');
  assert.equal(result.content[0].type, 'text');
  assert.equal(result.isError, isError, result.content[0].text);
  return result.content[0].text;
}
const successJson = (result) => JSON.parse(textOf(result, false));
const errorText = (result) => textOf(result, true);

requireBinaries();

describe('trelvo-mcp with the SDK client and the demo core', { timeout: 90_000 }, () => {
  let dir; // our own folder, so the socket path outlives a stopped core
  let socket;
  let core;
  let direct; // our own connection to the demo core, for the expected data
  let session;
  let client;
  const allFlows = () => direct.call('flow.list', { limit: 200, newestFirst: true }).then((r) => r.flows);

  before(async () => {
    dir = makeTempDir();
    socket = path.join(dir, 'core.sock');
    core = await startDemoCore({ socket });
    direct = await CoreSocket.open(socket);
    session = await connectClient(socket);
    client = session.client;
  });

  after(async () => {
    await session?.close();
    direct?.close();
    await core?.stop();
    if (dir) rmSync(dir, { recursive: true, force: true });
  });

  test('initialize names the server and tools/list gives the seven tools in order', async () => {
    assert.equal(client.getServerVersion().name, 'trelvo');
    const { tools } = await within(CALL_TIMEOUT, client.listTools(), 'tools/list');
    assert.deepEqual(tools.map((t) => t.name), TOOL_NAMES);
    for (const tool of tools) {
      assert.deepEqual(Object.keys(tool).sort(), ['description', 'inputSchema', 'name']);
      assert.equal(tool.inputSchema.type, 'object');
    }
  });

  test('list_flows shows the core flows newest first, filtered and limited', async () => {
    const got = successJson(await call(client, 'list_flows', {}));
    const want = await direct.call('flow.list', { limit: 50, newestFirst: true });
    assert.deepEqual(Object.keys(got), ['flows', 'total_in_store', 'truncated']);
    assert.deepEqual(got.flows, [...want.flows].reverse().map(expectedSummary));
    assert.deepEqual(Object.keys(got.flows[0]), Object.keys(expectedSummary({})));
    assert.equal(got.total_in_store, want.matchedTotal);
    assert.equal(got.truncated, want.flows.length < want.matchedTotal);

    const filter = { host: new URL(got.flows[0].url).host.toUpperCase(), status: '2xx' };
    const byHost = successJson(await call(client, 'list_flows', { ...filter, limit: 3 }));
    const wantByHost = await direct.call('flow.list', { ...filter, limit: 3, newestFirst: true });
    assert.equal(byHost.flows.length, 3);
    assert.deepEqual(byHost.flows, [...wantByHost.flows].reverse().map(expectedSummary));
    assert.equal(byHost.truncated, wantByHost.matchedTotal > 3);
  });

  test('get_flow shows headers, omits bodies unless asked, and cuts them to max_body_bytes', async () => {
    let detail;
    let bytes;
    let found = false; // a flow with a whole ASCII response body
    for (const flow of await allFlows()) {
      detail = await direct.call('flow.getDetail', { flowId: flow.flowId });
      bytes = Buffer.from(detail.respBodyB64 ?? '', 'base64');
      found = bytes.length > 16 && !detail.respBodyMeta.truncated && bytes.every((b) => b >= 0x20 && b < 0x7f);
      if (found) break;
    }
    assert.ok(found, 'the demo core holds an ASCII response body');
    const id = detail.summary.flowId;
    const got = successJson(await call(client, 'get_flow', { flow_id: id }));
    assert.deepEqual(Object.keys(got), ['request', 'response', 'summary']);
    assert.deepEqual(got.summary, expectedSummary(detail.summary));
    assert.deepEqual(got.request.headers, detail.reqHeaders);
    assert.deepEqual(got.response.headers, detail.respHeaders);
    assert.deepEqual(got.response.body, { note: TEXT.omittedNote, size: detail.respBodyMeta.total });
    assert.deepEqual(got.request.body, { note: TEXT.omittedNote, size: detail.reqBodyMeta.total });

    const cut = successJson(await call(client, 'get_flow', { flow_id: id, include_bodies: true, max_body_bytes: 10 }));
    assert.deepEqual(cut.response.body, {
      original_size: detail.respBodyMeta.total,
      text: bytes.subarray(0, 10).toString('utf8'),
      truncated: true,
    });
  });

  test('get_capture_status and get_findings relay the core', async () => {
    const want = await direct.call('mcp.status');
    assert.deepEqual(successJson(await call(client, 'get_capture_status', {})), {
      decrypt_allowlist: want.decryptHosts,
      flow_count: want.flowCount,
      oldest_flow_time: want.oldestFlowTs,
      paused: want.paused,
      proxy_port: want.proxyPort,
    });

    const got = successJson(await call(client, 'get_findings', {}));
    const { items } = await direct.call('findings.get');
    assert.ok(items.length > 0, 'the demo core has findings');
    assert.deepEqual(
      got.items.map((i) => [i.kind, i.code, i.question]),
      items.map((i) => [i.kind, i.code, i.question]),
    );
    for (const item of got.items) assert.ok(item.summary.length > 0, `${item.code ?? item.question} has a summary`);
    assert.doesNotMatch(JSON.stringify(got), /"[a-z_]*[A-Z]\w*":/, 'keys are snake_case');
    assert.ok(Array.isArray(got.items.find((i) => i.kind === 'unknown').would_decide), 'unknowns carry would_decide');
  });

  test('list_pages, get_console_messages and evaluate_js show the core pages', async () => {
    const snapshot = await direct.call('wir.snapshot');
    const pages = successJson(await call(client, 'list_pages', {}));
    assert.deepEqual(pages, {
      devices: snapshot.devices.map((d) => ({
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
    });
    const page = pages.devices[0].pages[0];

    const got = successJson(await call(client, 'get_console_messages', { page_handle: page.page_handle }));
    const want = await direct.call('wir.consoleMessages', { pageHandle: page.page_handle, limit: 100, newestFirst: true });
    assert.ok(want.messages.length > 0, 'the demo page has console output');
    assert.equal(got.time_semantics, TEXT.timeSemantics);
    assert.equal(got.truncated, want.truncated ?? false);
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

    const evaluated = successJson(
      await call(client, 'evaluate_js', { page_handle: page.page_handle, expression: 'document.title' }),
    );
    assert.deepEqual(evaluated, { result: page.title, result_truncated: false, was_thrown: false });
  });

  test('core refusals are error results with the product sentence', async () => {
    assert.equal(errorText(await call(client, 'get_flow', { flow_id: 987654321 })), TEXT.flowNotFound);
    const gone = await call(client, 'evaluate_js', { page_handle: 'pg-gone', expression: '1' });
    assert.equal(errorText(gone), TEXT.pageNotFound);
  });

  test('argument errors surface as JSON-RPC -32602', async () => {
    for (const [name, args, message] of [
      ['get_flow', {}, 'missing required argument: flow_id (integer)'],
      ['list_flows', { limit: '5' }, 'argument limit must be a non-negative integer'],
      ['no_such_tool', {}, 'unknown tool: no_such_tool'],
    ]) {
      await assert.rejects(call(client, name, args), (err) => {
        assert.ok(err instanceof McpError, `expected McpError, got ${err}`);
        assert.equal(err.code, -32602);
        assert.equal(err.message, `MCP error -32602: ${message}`);
        return true;
      });
    }
  });

  test('a stopped core gives the not-running sentence on every tool, and the server reconnects', async () => {
    await core.stop();
    const page = { page_handle: 'pg-1' };
    const args = { get_flow: { flow_id: 1 }, get_console_messages: page, evaluate_js: { ...page, expression: '1' } };
    for (const name of TOOL_NAMES) {
      assert.equal(errorText(await call(client, name, args[name] ?? {})), TEXT.notRunning, name);
    }
    core = await startDemoCore({ socket });
    assert.ok(successJson(await call(client, 'get_capture_status', {})).flow_count > 0);
  });

  test('trelvo-mcp wrote nothing on standard error', () => {
    assert.equal(session.stderr(), '');
  });
});

describe('features switched off in the application', { timeout: 60_000 }, () => {
  for (const [feature, tool, args, text] of [
    ['mcp', 'get_capture_status', {}, TEXT.mcpDisabled],
    ['eval', 'evaluate_js', { page_handle: 'pg-3f9a1c07', expression: 'document.title' }, TEXT.evalDisabled],
  ]) {
    test(`--disable ${feature}: ${tool} says how to enable it`, async () => {
      const core = await startDemoCore({ extraArgs: ['--disable', feature] });
      const session = await connectClient(core.socket);
      try {
        assert.equal(errorText(await call(session.client, tool, args)), text);
        assert.equal(session.stderr(), '');
      } finally {
        await session.close();
        await core.stop();
      }
    });
  }
});
