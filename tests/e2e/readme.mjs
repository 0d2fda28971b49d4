// The host entries of the README's "Registering it in an MCP host" section,
// read out of its fenced code blocks and parsed in their own formats: JSON,
// TOML (the subset host configurations use) and shell command lines.
import { readFileSync } from 'node:fs';
import path from 'node:path';

import { REPO_ROOT } from './harness.mjs';

const SECTION = '## Registering it in an MCP host';

// Every fenced block of the section as { lang, text, value }: `value` is the
// parsed JSON or TOML, or for `sh` the command lines as arrays of words.
export function registeringSnippets() {
  const readme = readFileSync(path.join(REPO_ROOT, 'README.md'), 'utf8');
  const start = readme.indexOf(`\n${SECTION}\n`);
  if (start < 0) throw new Error(`README has no "${SECTION}" section`);
  const end = readme.indexOf('\n## ', start + SECTION.length);
  const section = readme.slice(start, end < 0 ? undefined : end);
  const parsers = { json: JSON.parse, toml: parseToml, sh: shellCommands };
  return [...section.matchAll(/^```(\S*)\n([\s\S]*?)^```$/gm)].map(([, lang, text]) => {
    if (!parsers[lang]) throw new Error(`a \`\`\`${lang} block, which no parser here reads:\n${text}`);
    return { lang, text, value: parsers[lang](text) };
  });
}

// The section's entries as { host, snippet, server }: `snippet` is what the
// host reads (the JSON or TOML value, or the command line's words), `server`
// what it registers ({ command, args, env }). Also the program path the install
// line puts in place, and the scripts the section runs.
export function hostEntries() {
  const entries = [];
  let installed = null;
  const scripts = [];
  const add = (host, snippet, server) => entries.push({ host, snippet, server });
  for (const { lang, value } of registeringSnippets()) {
    if (lang === 'json' && value.mcpServers) add('mcpServers', value, value.mcpServers.trelvo);
    else if (lang === 'json' && value.servers) add('vscode', value, value.servers.trelvo);
    else if (lang === 'toml') add('toml', value, value.mcp_servers?.trelvo);
    else if (lang !== 'sh') throw new Error(`a ${lang} block that is no host's entry: ${JSON.stringify(value)}`);
    for (const words of lang === 'sh' ? value : []) {
      if (words.slice(0, 3).join(' ') === 'claude mcp add') add('claude', words, claudeMcpAdd(words));
      else if (words[0] === 'cmake' && words[1] === '--install') {
        // The first install line is the one the entries name.
        installed ??= path.posix.join(words[words.indexOf('--prefix') + 1], 'bin', 'trelvo-mcp');
      } else if (words[0].startsWith('scripts/')) scripts.push(words[0]);
      else throw new Error(`a command no test knows: ${words.join(' ')}`);
    }
  }
  return { entries, installed, scripts };
}

// The server `claude mcp add [options] <name> -- <command> [args...]` registers.
function claudeMcpAdd(words) {
  const server = { name: null, scope: 'local', env: {} };
  let i = 3;
  for (; i < words.length && words[i] !== '--'; i++) {
    if (words[i] === '-e' || words[i] === '--env') {
      // -e takes every word up to the next option, which is why the name comes first.
      for (; i + 1 < words.length && !words[i + 1].startsWith('-'); i++) {
        const [key, ...value] = words[i + 1].split('=');
        server.env[key] = value.join('=');
      }
    } else if (words[i] === '-s' || words[i] === '--scope') {
      server.scope = words[++i];
    } else if (!words[i].startsWith('-') && server.name === null) {
      server.name = words[i];
    } else {
      throw new Error(`claude mcp add: an argument this reader does not know: ${words[i]}`);
    }
  }
  return { ...server, command: words[i + 1], args: words.slice(i + 2) };
}

// Splits shell text into commands, each an array of words: quoted words,
// comments and a backslash-newline joining lines, all the README uses.
export function shellCommands(text) {
  return text
    .replace(/\\\n/g, ' ')
    .split('\n')
    .map((line) =>
      [...line.replace(/(^|\s)#.*$/, '').matchAll(/'([^']*)'|"((?:[^"\\]|\\.)*)"|(\S+)/g)].map(
        (m) => m[1] ?? m[2]?.replace(/\\(.)/g, '$1') ?? m[3],
      ),
    )
    .filter((words) => words.length);
}

// The TOML host configurations use: [dotted.table] headers, and key = value
// where the value (a string, a boolean or an array of them) is written as
// JSON writes it. Anything else, and any key or table defined twice, is an
// error.
export function parseToml(text) {
  const root = {};
  const tables = new Set();
  let table = root;
  for (const [n, raw] of text.split('\n').entries()) {
    const line = raw.trim();
    if (line === '' || line.startsWith('#')) continue;
    const header = /^\[([A-Za-z0-9_-]+(?:\.[A-Za-z0-9_-]+)*)\]$/.exec(line);
    const member = /^([A-Za-z0-9_-]+)\s*=\s*(.*)$/.exec(line);
    if (header && !tables.has(header[1])) {
      tables.add(header[1]);
      table = root;
      for (const key of header[1].split('.')) table = table[key] ??= {};
    } else if (member && !Object.hasOwn(table, member[1])) {
      table[member[1]] = JSON.parse(member[2]);
    } else {
      throw new Error(`TOML line ${n + 1}: not a new [table] or key = value: ${raw}`);
    }
  }
  return root;
}
