// Claude Code's own command line checks the README's entries for it: the
// `claude mcp add` line, and the mcpServers entry as a project's .mcp.json,
// each pointed at the built server and a demo core, must be reported as
// connected (its `mcp get` starts the server and completes the MCP handshake).
// Run by scripts/check-hosts.sh, which installs Claude Code and sets CLAUDE_BIN.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdirSync, rmSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { promisify } from 'node:util';

import { MCP_BIN } from '../e2e/harness.mjs';
import { hostEntries } from '../e2e/readme.mjs';
import { scratchDir, startCore } from './hosts.mjs';

const CLAUDE = process.env.CLAUDE_BIN;
if (!CLAUDE) throw new Error('set CLAUDE_BIN to the claude command (scripts/check-hosts.sh does)');

describe("the README's entries in Claude Code", { timeout: 120_000 }, () => {
  const { entries, installed } = hostEntries();
  const entry = (host) => entries.find((e) => e.host === host);
  const readmeSocket = entry('claude').server.env.TRELVO_MCP_SOCKET;
  let dir;
  let core;

  // A README snippet with its program and socket replaced by the built server and the test's core.
  const localised = (snippet) =>
    JSON.parse(JSON.stringify(snippet).replaceAll(installed, MCP_BIN).replaceAll(readmeSocket, core.socket));

  // Runs claude commands in a fresh home (with `settings`) and project folder
  // (with `files`), so no user's configuration takes part; the last one's output.
  async function claudeIn(name, { settings = {}, files = {} }, ...commands) {
    const home = path.join(dir, name, 'home');
    const project = path.join(dir, name, 'project');
    mkdirSync(path.join(home, '.claude'), { recursive: true });
    mkdirSync(project);
    writeFileSync(path.join(home, '.claude', 'settings.json'), JSON.stringify(settings));
    for (const [file, text] of Object.entries(files)) writeFileSync(path.join(project, file), text);
    const env = {
      PATH: process.env.PATH,
      HOME: home,
      DISABLE_AUTOUPDATER: '1',
      CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC: '1',
    };
    let out = '';
    for (const args of commands) {
      out = (await promisify(execFile)(CLAUDE, args, { cwd: project, env, timeout: 60_000 })).stdout;
    }
    return out;
  }

  before(async () => {
    dir = scratchDir('claude');
    core = await startCore(dir);
  });

  after(async () => {
    await core?.stop();
    if (dir) rmSync(dir, { recursive: true, force: true });
  });

  test('the claude mcp add line registers a server reported as connected', async () => {
    const words = localised(entry('claude').snippet);
    const out = await claudeIn('add', {}, words.slice(1), ['mcp', 'get', 'trelvo']);
    assert.match(out, /Status: ✔ Connected/, out);
    assert.ok(out.includes(`TRELVO_MCP_SOCKET=${core.socket}`), out);
  });

  test("the mcpServers entry, as a project's .mcp.json, is reported as connected", async () => {
    const files = { '.mcp.json': JSON.stringify(localised(entry('mcpServers').snippet)) };
    // Project servers wait for the user's approval; the settings give it.
    const settings = { enableAllProjectMcpServers: true };
    const out = await claudeIn('json', { settings, files }, ['mcp', 'get', 'trelvo']);
    assert.match(out, /Status: ✔ Connected/, out);
    assert.ok(out.includes(`TRELVO_MCP_SOCKET=${core.socket}`), out);
  });
});
