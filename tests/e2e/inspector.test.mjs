// trelvo-mcp driven by the MCP Inspector's command-line mode (the installed
// package's own bin), against the demo core.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { CoreSocket, MCP_BIN, REPO_ROOT, TEXT, TOOL_NAMES, requireBinaries, startDemoCore } from './harness.mjs';

const RUN_TIMEOUT = 30_000;

function inspectorBin() {
  const pkgDir = path.join(REPO_ROOT, 'node_modules', '@modelcontextprotocol', 'inspector');
  const pkg = JSON.parse(readFileSync(path.join(pkgDir, 'package.json'), 'utf8'));
  const bin = typeof pkg.bin === 'string' ? pkg.bin : pkg.bin['mcp-inspector'];
  const file = path.join(pkgDir, bin);
  assert.ok(existsSync(file), `${file} exists (run npm ci)`);
  return file;
}

// Runs the inspector CLI against trelvo-mcp on `socket`; resolves with its
// exit status and output. The inspector starts node processes of its own, so
// it runs in its own process group, which is what a timeout kills.
function runInspector(socket, args) {
  const env = { ...process.env };
  delete env.TRELVO_MCP_SOCKET; // handed over with -e below, the inspector's own way
  // The inspector starts its second stage as "node" from PATH.
  env.PATH = `${path.dirname(process.execPath)}${path.delimiter}${env.PATH ?? ''}`;
  const child = spawn(
    process.execPath,
    [inspectorBin(), '--cli', '-e', `TRELVO_MCP_SOCKET=${socket}`, MCP_BIN, ...args],
    { env, stdio: ['ignore', 'pipe', 'pipe'], detached: true },
  );
  let stdout = '';
  let stderr = '';
  child.stdout.setEncoding('utf8').on('data', (d) => (stdout += d));
  child.stderr.setEncoding('utf8').on('data', (d) => (stderr += d));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      try {
        process.kill(-child.pid, 'SIGKILL');
      } catch {}
      reject(new Error(`inspector ${args.join(' ')} took longer than ${RUN_TIMEOUT} ms; stderr: ${stderr}`));
    }, RUN_TIMEOUT);
    child.once('error', (err) => {
      clearTimeout(timer);
      reject(err);
    });
    child.once('close', (code, signal) => {
      clearTimeout(timer);
      resolve({ code: code ?? signal, stdout, stderr });
    });
  });
}

function parseJsonOutput(run) {
  assert.equal(run.code, 0, `inspector failed: ${run.stderr}`);
  return JSON.parse(run.stdout);
}

function toolText(result, isError) {
  assert.equal(result.isError, isError, JSON.stringify(result));
  assert.equal(result.content.length, 1);
  assert.equal(result.content[0].type, 'text');
  return result.content[0].text;
}

requireBinaries();

describe('trelvo-mcp with the MCP Inspector CLI and the demo core', { timeout: 120_000 }, () => {
  let core;
  let direct;

  before(async () => {
    core = await startDemoCore();
    direct = await CoreSocket.open(core.socket);
  });

  after(async () => {
    direct?.close();
    await core?.stop();
  });

  test('tools/list prints the seven tools in order', async () => {
    const out = parseJsonOutput(await runInspector(core.socket, ['--method', 'tools/list']));
    assert.deepEqual(
      out.tools.map((t) => t.name),
      TOOL_NAMES,
    );
    for (const tool of out.tools) assert.equal(tool.inputSchema.type, 'object');
  });

  test('tools/call get_capture_status prints the core status', async () => {
    const out = parseJsonOutput(
      await runInspector(core.socket, ['--method', 'tools/call', '--tool-name', 'get_capture_status']),
    );
    const want = await direct.call('mcp.status');
    assert.deepEqual(JSON.parse(toolText(out, false)), {
      decrypt_allowlist: want.decryptHosts,
      flow_count: want.flowCount,
      oldest_flow_time: want.oldestFlowTs,
      paused: want.paused,
      proxy_port: want.proxyPort,
    });
  });

  test('tool arguments typed from our schemas reach the tool', async () => {
    // The inspector turns "key=value" into integers and booleans by reading
    // the input schemas, so this checks that the schemas say what we mean.
    const { flows } = await direct.call('flow.list', { limit: 1, newestFirst: true });
    const id = flows[0].flowId;
    const out = parseJsonOutput(
      await runInspector(core.socket, [
        '--method',
        'tools/call',
        '--tool-name',
        'get_flow',
        '--tool-arg',
        `flow_id=${id}`,
        'include_bodies=false',
      ]),
    );
    const flow = JSON.parse(toolText(out, false));
    assert.equal(flow.summary.id, id);
    assert.equal(flow.response.body.note, TEXT.omittedNote);

    const missing = parseJsonOutput(
      await runInspector(core.socket, [
        '--method',
        'tools/call',
        '--tool-name',
        'get_flow',
        '--tool-arg',
        'flow_id=987654321',
      ]),
    );
    assert.equal(toolText(missing, true), TEXT.flowNotFound);
  });

  test('an argument error makes the inspector fail with our message', async () => {
    const run = await runInspector(core.socket, ['--method', 'tools/call', '--tool-name', 'get_flow']);
    assert.notEqual(run.code, 0);
    assert.match(run.stderr, /-32602/);
    assert.match(run.stderr, /missing required argument: flow_id \(integer\)/);
  });
});
