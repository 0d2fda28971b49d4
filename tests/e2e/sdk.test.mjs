// trelvo-mcp driven by the official MCP SDK client over stdio, against the
// demo core: the SDK must accept every answer (its schemas check results,
// errors and the catalogue), and the session must survive the core going away.
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { McpError } from '@modelcontextprotocol/sdk/types.js';

import { FLOW_ID, MCP_BIN, PAGE, TOOL_NAMES, socketDir, startDemoCore, within } from './harness.mjs';

const CALL_TIMEOUT = 20_000; // above the server's own 15 s core deadline

describe('trelvo-mcp with the SDK client and the demo core', { timeout: 90_000 }, () => {
  let dir; // our own folder, so the socket path outlives a stopped core
  let socket;
  let core;
  let client;
  let stderr = '';
  const call = (name, args) =>
    within(CALL_TIMEOUT, client.callTool({ name, arguments: args }, undefined, { timeout: CALL_TIMEOUT }), name);
  // The only content item's text, once the envelope and isError are checked.
  const textOf = (result, isError) => {
    assert.equal(result.content.length, 1);
    assert.equal(result.content[0].type, 'text');
    assert.equal(result.isError, isError, result.content[0].text);
    return result.content[0].text;
  };

  before(async () => {
    dir = socketDir('trelvo-e2e-');
    socket = path.join(dir, 'core.sock');
    core = await startDemoCore({ socket });
    const transport = new StdioClientTransport({ command: MCP_BIN, env: { TRELVO_MCP_SOCKET: socket }, stderr: 'pipe' });
    transport.stderr?.on('data', (chunk) => (stderr += chunk));
    client = new Client({ name: 'trelvo-e2e', version: '1.0.0' });
    await within(CALL_TIMEOUT, client.connect(transport), 'initialize');
  });

  after(async () => {
    await client?.close();
    await core?.stop();
    if (dir) rmSync(dir, { recursive: true, force: true });
  });

  test('every tool answers with one text holding a JSON object', async () => {
    const args = {
      get_flow: { flow_id: FLOW_ID, include_bodies: true },
      get_console_messages: { page_handle: PAGE, level: 'warn' },
      evaluate_js: { page_handle: PAGE, expression: 'document.title' },
    };
    for (const name of TOOL_NAMES) {
      const value = JSON.parse(textOf(await call(name, args[name] ?? {}), false));
      assert.equal(typeof value, 'object', name);
    }
  });

  test('a core refusal is an error result; bad arguments are JSON-RPC -32602', async () => {
    assert.match(textOf(await call('get_flow', { flow_id: 987654321 }), true), /^Flow not found \u2014 /);
    await assert.rejects(call('get_flow', {}), (err) => {
      assert.ok(err instanceof McpError, `expected McpError, got ${err}`);
      assert.equal(err.code, -32602);
      assert.equal(err.message, 'MCP error -32602: missing required argument: flow_id (integer)');
      return true;
    });
  });

  test('a stopped core gives the not-running sentence, and the server reconnects', async () => {
    await core.stop();
    const text = textOf(await call('get_capture_status', {}), true);
    assert.equal(text, 'Trelvo is not running. Launch Trelvo to start capturing.');
    core = await startDemoCore({ socket });
    assert.ok(JSON.parse(textOf(await call('get_capture_status', {}), false)).flow_count > 0);
    assert.equal(stderr, '', 'trelvo-mcp wrote nothing on standard error');
  });
});
