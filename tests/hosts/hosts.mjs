// What the host checks share: the README's entries as text with only their
// paths replaced, a demo core on a short socket, programs that cannot serve,
// and what a successful list_flows and get_flow answer looks like.
import assert from 'node:assert/strict';
import { chmodSync, mkdtempSync, writeFileSync } from 'node:fs';
import path from 'node:path';

import { startDemoCore } from '../e2e/harness.mjs';
import { hostEntries, parseToml, registeringSnippets } from '../e2e/readme.mjs';

// A scratch folder straight under /tmp: a Unix socket path must fit in about
// 100 bytes, and a Mac's TMPDIR alone takes half of that.
export const scratchDir = (name) => mkdtempSync(`/tmp/trelvo-${name}-`);

// A demo core listening on a socket in `dir`.
export const startCore = (dir) => startDemoCore({ socket: path.join(dir, 'core.sock') });

// The README's entry for `host` ('mcpServers' or 'toml'), as the text of its
// block, with `localise({ program, socket })` giving that text with only the
// installed program and the demo socket replaced.
export function readmeEntry(host) {
  const { entries, installed } = hostEntries();
  const { server } = entries.find((e) => e.host === host);
  const readmeSocket = server.env.TRELVO_MCP_SOCKET;
  const { lang, text } = registeringSnippets().find(({ lang, value }) =>
    host === 'toml' ? lang === 'toml' : lang === 'json' && value.mcpServers,
  );
  const parse = lang === 'toml' ? parseToml : JSON.parse;
  const serverIn = (value) => (lang === 'toml' ? value.mcp_servers.trelvo : value.mcpServers.trelvo);
  return {
    text,
    localise({ program, socket }) {
      for (const p of [installed, readmeSocket]) assert.ok(text.includes(p), `the README's ${host} entry lacks ${p}`);
      // Escaped as JSON does, which TOML's basic strings read the same way.
      const quoted = (s) => JSON.stringify(s).slice(1, -1);
      const out = text.replaceAll(installed, quoted(program)).replaceAll(readmeSocket, quoted(socket));
      const parsed = serverIn(parse(out));
      assert.equal(parsed.command, program, out);
      assert.equal(parsed.env.TRELVO_MCP_SOCKET, socket, out);
      return out;
    },
  };
}

// Programs a broken entry can name: one that does not exist, and one that
// exits at once without a word of MCP.
export function brokenPrograms(dir) {
  const quits = path.join(dir, 'quits-at-once');
  writeFileSync(quits, '#!/bin/sh\nexit 1\n');
  chmodSync(quits, 0o755);
  return [
    { what: 'a program that does not exist', program: path.join(dir, 'no-such-program') },
    { what: 'a program that exits at once', program: quits },
  ];
}

// The one text item of a successful tool result, parsed.
function answer(result) {
  assert.equal(result.isError, false, JSON.stringify(result));
  assert.equal(result.content.length, 1, JSON.stringify(result));
  assert.equal(result.content[0].type, 'text');
  return JSON.parse(result.content[0].text);
}

// Checks a list_flows result asked for at most `limit` flows; its flows.
export function checkListFlows(result, limit) {
  const { flows, total_in_store: total } = answer(result);
  assert.ok(flows.length > 0 && flows.length <= limit, `${flows.length} flows for limit ${limit}`);
  assert.ok(Number.isInteger(total) && total >= flows.length, `total_in_store ${total}`);
  for (const flow of flows) {
    assert.ok(Number.isInteger(flow.id), JSON.stringify(flow));
    assert.equal(typeof flow.method, 'string');
    assert.match(flow.url, /^https?:\/\//);
  }
  return flows;
}

// Checks a get_flow result describes `listed`, a flow list_flows gave.
export function checkGetFlow(result, listed) {
  const { summary, request, response } = answer(result);
  assert.equal(summary.id, listed.id);
  assert.equal(summary.method, listed.method);
  assert.equal(summary.url, listed.url);
  assert.ok(Array.isArray(request.headers) && Array.isArray(response.headers), 'request and response headers');
}
