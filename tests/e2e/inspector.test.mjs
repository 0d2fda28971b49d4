// A real host, the MCP Inspector's command-line mode (package.json's own),
// reads the README's mcpServers entry as its --config file: it lists the
// server's tools and calls them, typing arguments from our schemas, and an
// entry whose program cannot serve makes it exit with a failure. One of the
// hosts scripts/check-hosts.sh names, and part of every test run.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, rmSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { brokenPrograms, checkGetFlow, checkListFlows, readmeEntry, scratchDir, startCore } from '../hosts/hosts.mjs';
import { MCP_BIN, REPO_ROOT, TOOL_NAMES, within } from './harness.mjs';

const INSPECTOR = path.join(REPO_ROOT, 'node_modules', '.bin', 'mcp-inspector');

describe("the README's mcpServers entry in the MCP Inspector CLI", { timeout: 120_000 }, () => {
  const entry = readmeEntry('mcpServers');
  let dir;
  let core;

  // Writes the README's entry with `program` as the server to a config file;
  // a function running the inspector on it with `args`: { code, stdout, stderr }.
  function inspectorWith(name, program) {
    const home = path.join(dir, name);
    mkdirSync(home);
    const config = path.join(home, 'mcp.json');
    writeFileSync(config, entry.localise({ program, socket: core.socket }));
    // Its environment reaches the server, so it is only this: the entry's env
    // is what must carry the socket. It runs `node` from PATH.
    const env = { PATH: `${path.dirname(process.execPath)}${path.delimiter}${process.env.PATH}`, HOME: home };
    return async (...args) => {
      // Its own process group: it starts node processes of its own, and a
      // timeout kills them all.
      const child = spawn(INSPECTOR, ['--cli', '--config', config, '--server', 'trelvo', ...args], {
        cwd: home,
        env,
        stdio: ['ignore', 'pipe', 'pipe'],
        detached: true,
      });
      let stdout = '';
      let stderr = '';
      child.stdout.setEncoding('utf8').on('data', (d) => (stdout += d));
      child.stderr.setEncoding('utf8').on('data', (d) => (stderr += d));
      const code = await within(30_000, new Promise((resolve) => child.once('close', resolve)), 'inspector').catch(
        (err) => {
          process.kill(-child.pid, 'SIGKILL');
          throw new Error(`${err.message}: ${stderr}`);
        },
      );
      return { code, stdout, stderr };
    };
  }

  // The parsed output of a run that must succeed.
  async function output(run, ...args) {
    const { code, stdout, stderr } = await run(...args);
    assert.equal(code, 0, `inspector ${args.join(' ')} failed: ${stderr}`);
    return JSON.parse(stdout);
  }

  before(async () => {
    dir = scratchDir('inspector');
    core = await startCore(dir);
  });

  after(async () => {
    await core?.stop();
    if (dir) rmSync(dir, { recursive: true, force: true });
  });

  test('lists the seven tools in order, and calls list_flows and then get_flow with a listed id', async () => {
    const run = inspectorWith('works', MCP_BIN);
    const { tools } = await output(run, '--method', 'tools/list');
    assert.deepEqual(
      tools.map((t) => t.name),
      TOOL_NAMES,
    );
    for (const tool of tools) assert.equal(tool.inputSchema.type, 'object', tool.name);

    const call = (tool, ...args) => output(run, '--method', 'tools/call', '--tool-name', tool, '--tool-arg', ...args);
    const flows = checkListFlows(await call('list_flows', 'limit=3'), 3);
    const flow = flows.at(-1);
    // The inspector types "key=value" by reading the input schemas: an
    // integer id, and a boolean, for which a body comes back.
    const detail = await call('get_flow', `flow_id=${flow.id}`, 'include_bodies=true');
    checkGetFlow(detail, flow);
    const { body } = JSON.parse(detail.content[0].text).response;
    assert.ok(!JSON.stringify(body).includes('omitted by default'), JSON.stringify(body));
  });

  test('an entry whose program cannot serve makes it fail', async () => {
    for (const [i, { what, program }] of brokenPrograms(dir).entries()) {
      const run = inspectorWith(`broken-${i}`, program);
      const { code, stdout, stderr } = await run('--method', 'tools/list');
      assert.notEqual(code, 0, `${what}: ${stdout}`);
      assert.match(stderr, /Failed to connect to MCP server/, what);
      assert.equal(stdout, '', what);
    }
  });
});
