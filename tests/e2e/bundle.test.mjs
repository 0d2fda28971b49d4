// The MCP Bundle as a desktop host meets it: the manifest validated and the
// bundle packed by the official mcpb tool, unpacked by it into a scratch
// folder, and the server started from there exactly as the manifest's
// mcp_config says, its variables filled in by the mcpb package's own host-side
// code (the code desktop hosts load bundles with).
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { promisify } from 'node:util';
import { after, before, describe, test } from 'node:test';

import { getMcpConfigForManifest } from '@anthropic-ai/mcpb';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

import { stageBundle } from '../../bundle/stage.mjs';
import { MCP_BIN, REPO_ROOT, TOOL_NAMES, appSocket, socketDir, startDemoCore, within } from './harness.mjs';

const PKG_DIR = path.join(REPO_ROOT, 'node_modules', '@anthropic-ai', 'mcpb');
const MCPB = path.join(PKG_DIR, JSON.parse(readFileSync(path.join(PKG_DIR, 'package.json'), 'utf8')).bin);
const CALL_TIMEOUT = 20_000;

const mcpb = (...args) => promisify(execFile)(process.execPath, [MCPB, ...args], { timeout: 30_000 });

describe('the MCP Bundle, packed and unpacked as a host would', { timeout: 90_000 }, () => {
  let dir;
  let homeDir; // holds the user's home, which holds the app's socket: short, under /tmp
  let home; // the user's home as the host sees it
  let unpacked;
  let manifest;

  // What the host starts for the settings `userConfig`, or undefined when it
  // would start nothing.
  const hostConfig = (userConfig) =>
    getMcpConfigForManifest({
      manifest,
      extensionPath: unpacked,
      systemDirs: { HOME: home },
      userConfig,
      pathSeparator: path.sep,
    });

  // Starts a demo core (`coreOptions`) and the server as the host would for
  // the settings `userConfig(core)`, and runs `use(client, config)` with an SDK
  // client on the server; both processes end however `use` does.
  async function withBundledServer(coreOptions, userConfig, use) {
    const core = await startDemoCore(coreOptions);
    const client = new Client({ name: 'trelvo-bundle-e2e', version: '1.0.0' });
    try {
      const config = await hostConfig(userConfig(core));
      // The host starts the server in the user's environment, HOME included.
      const env = { ...config.env, HOME: home };
      const transport = new StdioClientTransport({ command: config.command, args: config.args, env });
      await within(CALL_TIMEOUT, client.connect(transport), 'initialize');
      await use(client, config);
    } finally {
      await client.close();
      await core.stop();
    }
  }

  const call = (client, name, args = {}) =>
    within(CALL_TIMEOUT, client.callTool({ name, arguments: args }, undefined, { timeout: CALL_TIMEOUT }), name);

  before(async () => {
    dir = mkdtempSync(path.join(tmpdir(), 'trelvo-bundle-'));
    homeDir = socketDir('trelvo-home-');
    home = path.join(homeDir, 'home');
    mkdirSync(home);
    const stage = path.join(dir, 'stage');
    stageBundle(MCP_BIN, stage);
    await mcpb('validate', path.join(stage, 'manifest.json'));
    const bundle = path.join(dir, 'trelvo-mcp.mcpb');
    await mcpb('pack', stage, bundle);
    unpacked = path.join(dir, 'unpacked');
    await mcpb('unpack', bundle, unpacked);
    manifest = JSON.parse(readFileSync(path.join(unpacked, 'manifest.json'), 'utf8'));
  });

  after(() => {
    for (const scratch of [dir, homeDir]) if (scratch) rmSync(scratch, { recursive: true, force: true });
  });

  test('the unpacked server binary is still executable, beside the icon a host shows', () => {
    const mode = statSync(path.join(unpacked, manifest.server.entry_point)).mode;
    assert.equal(mode & 0o111, 0o111, `mode ${mode.toString(8)}`);
    const icon = readFileSync(path.join(unpacked, manifest.icon));
    assert.equal(icon.subarray(0, 8).toString('latin1'), '\x89PNG\r\n\x1a\n');
    assert.equal(icon.readUInt32BE(16), 512); // width, then height, of its header
    assert.equal(icon.readUInt32BE(20), 512);
    for (const link of [manifest.homepage, manifest.support, manifest.repository.url]) {
      assert.match(link, /^https:\/\//);
    }
  });

  test("with the socket set to the demo core, the tools are the manifest's and serve the flows", () => {
    const settings = (core) => ({ socket_path: core.socket });
    return withBundledServer({}, settings, async (client, config) => {
      assert.equal(config.command, path.join(unpacked, manifest.server.entry_point));
      const { tools } = await within(CALL_TIMEOUT, client.listTools(), 'tools/list');
      assert.deepEqual(tools.map((t) => t.name), TOOL_NAMES);
      assert.deepEqual(manifest.tools.map((t) => t.name), TOOL_NAMES);
      // Each one-line description is the start of what the server tells the agent.
      for (const [i, { name, description }] of manifest.tools.entries()) {
        assert.ok(tools[i].description.startsWith(description), `${name}: "${description}"`);
      }
      const result = await call(client, 'list_flows', { limit: 3 });
      assert.equal(result.isError, false, result.content[0].text);
      assert.equal(JSON.parse(result.content[0].text).flows.length, 3);
    });
  });

  test('the untouched default reaches a core where the Trelvo app listens', () => {
    // The settings form saves the default as the manifest writes it, and the
    // host hands it over with ${HOME} unexpanded: the server expands it.
    const written = manifest.user_config.socket_path.default;
    const settings = () => ({ socket_path: written });
    return withBundledServer({ home }, settings, async (client, config) => {
      assert.equal(config.env.TRELVO_MCP_SOCKET, written);
      assert.equal(written.replace('${HOME}', home), appSocket(home));
      const result = await call(client, 'get_capture_status');
      assert.equal(result.isError, false, result.content[0].text);
    });
  });

  test('an emptied socket setting starts no server rather than one with an empty path', async () => {
    assert.equal(await hostConfig({ socket_path: '' }), undefined);
    assert.equal(await hostConfig({}), undefined);
  });
});
