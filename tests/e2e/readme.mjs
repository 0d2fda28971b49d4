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
        installed = path.posix.join(words[words.indexOf('--prefix') + 1], 'bin', 'trelvo-mcp');
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

// Splits shell text into commands, each an array of words, as sh would:
// quotes, backslashes, comments, and a backslash-newline joining lines.
export function shellCommands(text) {
  const commands = [];
  let words = [];
  let word = null; // null between words, so '' can be an empty quoted word
  const endWord = () => {
    if (word !== null) words.push(word);
    word = null;
  };
  const endCommand = () => {
    endWord();
    if (words.length) commands.push(words);
    words = [];
  };
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (c === '\\') {
      if (text[i + 1] !== '\n') word = (word ?? '') + text[i + 1];
      i++;
    } else if (c === "'") {
      const close = text.indexOf("'", i + 1);
      if (close < 0) throw new Error(`unclosed ' in: ${text}`);
      word = (word ?? '') + text.slice(i + 1, close);
      i = close;
    } else if (c === '"') {
      word ??= '';
      for (i++; text[i] !== '"'; i++) {
        if (i >= text.length) throw new Error(`unclosed " in: ${text}`);
        if (text[i] === '\\' && '"\\$`'.includes(text[i + 1])) i++;
        word += text[i];
      }
    } else if (c === '#' && word === null) {
      i = text.indexOf('\n', i) - 1;
      if (i < 0) break;
    } else if (c === '\n' || c === ';') {
      endCommand();
    } else if (c === ' ' || c === '\t') {
      endWord();
    } else if ('|&<>()`$'.includes(c)) {
      throw new Error(`shell syntax beyond simple commands ("${c}") in: ${text}`);
    } else {
      word = (word ?? '') + c;
    }
  }
  endCommand();
  return commands;
}

// The TOML host configurations use: [dotted.table] headers, and key = value
// with bare keys, strings, booleans and single-line arrays of those.
// Anything else, and any key or table defined twice, is an error.
export function parseToml(text) {
  const root = {};
  const tables = new Set();
  let table = root;
  const fail = (n, why) => {
    throw new Error(`TOML line ${n + 1}: ${why}`);
  };
  for (const [n, raw] of text.split('\n').entries()) {
    const reader = { s: raw, i: 0 };
    skipSpace(reader);
    if (atLineEnd(reader)) continue;
    const header = /^\[([A-Za-z0-9_-]+(?:\.[A-Za-z0-9_-]+)*)\]/.exec(reader.s.slice(reader.i));
    if (header) {
      if (tables.has(header[1])) fail(n, `table [${header[1]}] defined twice`);
      tables.add(header[1]);
      table = root;
      for (const key of header[1].split('.')) {
        table[key] ??= {};
        if (typeof table[key] !== 'object' || Array.isArray(table[key])) fail(n, `${key} is not a table`);
        table = table[key];
      }
      reader.i += header[0].length;
    } else {
      const key = /^([A-Za-z0-9_-]+)\s*=/.exec(reader.s.slice(reader.i));
      if (!key) fail(n, `neither a [table] nor key = value: ${raw}`);
      if (Object.hasOwn(table, key[1])) fail(n, `key ${key[1]} defined twice`);
      reader.i += key[0].length;
      try {
        table[key[1]] = tomlValue(reader);
      } catch (err) {
        fail(n, err.message);
      }
    }
    skipSpace(reader);
    if (!atLineEnd(reader)) fail(n, `unexpected text after the value: ${raw}`);
  }
  return root;
}

function skipSpace(r) {
  while (r.s[r.i] === ' ' || r.s[r.i] === '\t') r.i++;
}

function atLineEnd(r) {
  return r.i >= r.s.length || r.s[r.i] === '#';
}

function tomlValue(r) {
  skipSpace(r);
  const c = r.s[r.i];
  if (c === '"') {
    let out = '';
    const escapes = { '"': '"', '\\': '\\', n: '\n', t: '\t', r: '\r', b: '\b', f: '\f' };
    for (r.i++; r.s[r.i] !== '"'; r.i++) {
      if (r.i >= r.s.length) throw new Error('unclosed string');
      if (r.s[r.i] !== '\\') {
        out += r.s[r.i];
      } else if (escapes[r.s[r.i + 1]]) {
        out += escapes[r.s[++r.i]];
      } else if (r.s[r.i + 1] === 'u' && /^[0-9A-Fa-f]{4}$/.test(r.s.slice(r.i + 2, r.i + 6))) {
        out += String.fromCharCode(parseInt(r.s.slice(r.i + 2, r.i + 6), 16));
        r.i += 5;
      } else {
        throw new Error(`bad escape \\${r.s[r.i + 1]}`);
      }
    }
    r.i++;
    return out;
  }
  if (c === "'") {
    const close = r.s.indexOf("'", r.i + 1);
    if (close < 0) throw new Error('unclosed string');
    const out = r.s.slice(r.i + 1, close);
    r.i = close + 1;
    return out;
  }
  if (c === '[') {
    const out = [];
    r.i++;
    for (;;) {
      skipSpace(r);
      if (r.s[r.i] === ']') break;
      out.push(tomlValue(r));
      skipSpace(r);
      if (r.s[r.i] === ',') r.i++;
      else if (r.s[r.i] !== ']') throw new Error('expected , or ] in an array');
    }
    r.i++;
    return out;
  }
  const bool = /^(true|false)(?![^\s#,\]])/.exec(r.s.slice(r.i));
  if (!bool) throw new Error(`not a value this reader knows: ${r.s.slice(r.i)}`);
  r.i += bool[0].length;
  return bool[1] === 'true';
}
