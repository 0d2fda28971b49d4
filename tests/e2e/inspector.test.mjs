// trelvo-mcp driven by the MCP Inspector's command-line mode (the installed
// package's own bin), against the demo core.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { FLOW_ID, MCP_BIN, REPO_ROOT, TOOL_NAMES, startDemoCore, within } from './harness.mjs';

const PKG_DIR = path.join(REPO_ROOT, 'node_modules', '@modelcontextprotocol', 'inspector');
const PKG = JSON.parse(readFileSync(path.join(PKG_DIR, 'package.json'), 'utf8'));
const INSPECTOR = path.join(PKG_DIR, typeof PKG.bin === 'string' ? PKG.bin : PKG.bin['mcp-inspector']);

// Runs the inspector CLI against trelvo-mcp on `socket` and parses what it
// prints. It starts node processes of its own, so it runs in its own process
// group, which is what a timeout kills.
async function runInspector(socket, args) {
  const env = { ...process.env, PATH: `${path.dirname(process.execPath)}${path.delimiter}${process.env.PATH}` };
  delete env.TRELVO_MCP_SOCKET; // handed over with -e below, the inspector's own way
  const child = spawn(process.execPath, [INSPECTOR, '--cli', '-e', `TRELVO_MCP_SOCKET=${socket}`, MCP_BIN, ...args], {
    env,
    stdio: ['ignore', 'pipe', 'pipe'],
    detached: true,
  });
  let stdout = '';
  let stderr = '';
  child.stdout.setEncoding('utf8').on('data', (d) => (stdout += d));
  child.stderr.setEncoding('utf8').on('data', (d) => (stderr += d));
  const code = await within(30_000, new Promise((resolve) => child.once('close', resolve)), 'inspector').catch((err) => {
    process.kill(-child.pid, 'SIGKILL');
    throw err;
  });
  assert.equal(code, 0, `inspector failed: ${stderr}`);
  return JSON.parse(stdout);
}

describe('trelvo-mcp with the MCP Inspector CLI and the demo core', { timeout: 120_000 }, () => {
  let core;
  before(async () => {
    core = await startDemoCore();
  });
  after(() => core?.stop());

  test('tools/list prints the seven tools in order', async () => {
    const out = await runInspector(core.socket, ['--method', 'tools/list']);
    assert.deepEqual(out.tools.map((t) => t.name), TOOL_NAMES);
  });

  test('tools/call get_flow with arguments typed from our schemas', async () => {
    // The inspector turns "key=value" into integers and booleans by reading
    // the input schemas, so this checks that the schemas say what we mean.
    const args = ['--method', 'tools/call', '--tool-name', 'get_flow', '--tool-arg', `flow_id=${FLOW_ID}`, 'include_bodies=true'];
    const out = await runInspector(core.socket, args);
    assert.equal(out.isError, false, JSON.stringify(out));
    assert.equal(out.content.length, 1);
    const flow = JSON.parse(out.content[0].text);
    assert.equal(flow.summary.id, FLOW_ID);
    assert.ok(flow.response.body.text, 'a body, since include_bodies arrived as a boolean');
  });
});
