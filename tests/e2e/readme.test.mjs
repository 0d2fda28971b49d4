// The README's host entries cannot drift: each block of the registering
// section parses in its own format, and every entry starts the installed
// program with the socket in TRELVO_MCP_SOCKET, passed the way its host does.
import assert from 'node:assert/strict';
import { accessSync, constants } from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import { REPO_ROOT } from './harness.mjs';
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
