// The README cannot drift: each block of the registering section parses in
// its own format, and every entry starts the installed program with the
// socket in TRELVO_MCP_SOCKET, passed the way its host does; the set-up names
// scripts that are there; the demo section's commands do what it says.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { accessSync, constants, existsSync, readFileSync, rmSync } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { DEMO_CORE_BIN, MCP_BIN, REPO_ROOT, socketDir, within } from './harness.mjs';
import { hostEntries } from './readme.mjs';

test('every host has one entry, and all start the installed program on the same socket', () => {
  const { entries, installed, scripts } = hostEntries();
  assert.deepEqual(entries.map((e) => e.host).sort(), ['claude', 'mcpServers', 'toml', 'vscode']);
  assert.equal(installed, '/usr/local/bin/trelvo-mcp');
  const sockets = new Set();
  for (const { host, server } of entries) {
    assert.equal(server?.command, installed, host);
    assert.deepEqual(server.args ?? [], [], host);
    assert.deepEqual(Object.keys(server.env), ['TRELVO_MCP_SOCKET'], host);
    assert.notEqual(server.env.TRELVO_MCP_SOCKET, '', host);
    sockets.add(server.env.TRELVO_MCP_SOCKET);
  }
  assert.equal(sockets.size, 1, [...sockets].join(' / '));
  assert.equal(entries.find((e) => e.host === 'vscode').server.type, 'stdio');
  assert.equal(entries.find((e) => e.host === 'claude').server.name, 'trelvo');
  for (const script of scripts) accessSync(path.join(REPO_ROOT, script), constants.X_OK);
  assert.ok(scripts.includes('scripts/bundle.sh'));
});

// The fenced blocks of the section headed `heading`, as { lang, text }.
function blocksOf(heading) {
  const readme = readFileSync(path.join(REPO_ROOT, 'README.md'), 'utf8');
  const start = readme.indexOf(`\n${heading}\n`);
  assert.ok(start >= 0, `README has no "${heading}" section`);
  const end = readme.indexOf('\n## ', start + heading.length);
  return [...readme.slice(start, end).matchAll(/^```(\S*)\n([\s\S]*?)^```$/gm)].map(([, lang, text]) => ({ lang, text }));
}

test('every script the README names is there to run', () => {
  const readme = readFileSync(path.join(REPO_ROOT, 'README.md'), 'utf8');
  const named = new Set(readme.match(/scripts\/[\w.-]+\.(?:sh|mjs)/g));
  for (const script of named) accessSync(path.join(REPO_ROOT, script), constants.R_OK);
  const [setup] = blocksOf('## Set-up on a fresh Debian machine');
  const commands = setup.text.split('\n').filter(Boolean).map((line) => line.split(/\s+/)[0]);
  assert.deepEqual(commands, ['scripts/demo.sh', 'scripts/test.sh']);
  for (const script of commands) accessSync(path.join(REPO_ROOT, script), constants.X_OK);
});

test("the demo section's commands, typed as written, list the 4xx flows and stop the core", async () => {
  const [block] = blocksOf('## Trying it against the demo core');
  const dir = socketDir('trelvo-readme-');
  const socket = path.join(dir, 'demo.sock');
  // Only where the programs and the socket are changes.
  const lines = block.text
    .replaceAll('build/release/trelvo-mcp', MCP_BIN)
    .replaceAll('build/release/trelvo-demo-core', DEMO_CORE_BIN)
    .replaceAll('/tmp/trelvo-demo.sock', socket)
    .replace(/\\\n/g, '')
    .split('\n');
  // As a person types them: the core's line, then the rest once it listens.
  const shell = spawn('bash', [], { cwd: REPO_ROOT, stdio: ['pipe', 'pipe', 'inherit'] });
  let out = '';
  shell.stdout.on('data', (chunk) => (out += chunk));
  const ended = new Promise((resolve) => shell.once('exit', resolve));
  try {
    shell.stdin.write(`${lines[1]}\n`);
    await within(10_000, (async () => { while (!existsSync(socket)) await new Promise((r) => setTimeout(r, 20)); })(), 'the demo core');
    shell.stdin.end(`${lines.slice(2).join('\n')}\nwait\n`);
    assert.equal(await within(30_000, ended, 'the commands'), 0, out);
  } finally {
    shell.kill('SIGKILL');
    rmSync(dir, { recursive: true, force: true });
  }
  const listed = JSON.parse(out.slice(out.indexOf('{')));
  assert.equal(listed.total_in_store, 2, out);
  assert.deepEqual(listed.flows.map((f) => Math.floor(f.status / 100)), [4, 4]);
  assert.ok(!existsSync(socket), 'the core left its socket behind');
});
