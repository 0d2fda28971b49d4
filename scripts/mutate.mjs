#!/usr/bin/env node
// Measures what the tests catch: applies single-point mutations to src/ one
// at a time (a comparison flipped, a constant moved by one, a statement
// dropped, a condition negated, ...), rebuilds, runs the fast tests (unit and
// integration, the one that waits out a real limit left out) and counts the
// mutants no test kills. The pick is seeded, so the same seed on the same src/
// gives the same mutants. It works on a copy of the tree, so the checkout is
// never touched.
//
//   node scripts/mutate.mjs [--seed N] [--count N] [--before REV] [--list]
//
// --count is the number of mutants that compile (default 48); they are spread
// round-robin over every file of src/ that has a site. --list prints the pick
// without building. --before REV also puts every mutant to the tests of an
// earlier commit (built against today's src/), to compare two suites on the
// same mutants. The report goes to build/mutation-report.txt.
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const root = path.resolve(path.dirname(new URL(import.meta.url).pathname), '..');
const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at >= 0 ? Number(args[at + 1]) : fallback;
};
const seed = option('--seed', 1);
const count = option('--count', 48);
const listOnly = args.includes('--list');
const before = args.includes('--before') ? args[args.indexOf('--before') + 1] : null;

// mulberry32: small, seedable, and the same on every machine.
function rng(state) {
  return () => {
    state = (state + 0x6d2b79f5) | 0;
    let t = Math.imul(state ^ (state >>> 15), 1 | state);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}
const random = rng(seed);
const shuffle = (items) => {
  for (let i = items.length - 1; i > 0; --i) {
    const j = Math.floor(random() * (i + 1));
    [items[i], items[j]] = [items[j], items[i]];
  }
  return items;
};

// The line with string and character literals and the trailing comment
// blanked out (same length), so operators are only found in code.
function codeOf(line) {
  let out = '';
  let quote = null;
  for (let i = 0; i < line.length; ++i) {
    const c = line[i];
    if (quote) {
      if (c === '\\') {
        out += '  ';
        ++i;
        continue;
      }
      if (c === quote) quote = null;
      out += quote ? ' ' : c;
    } else if (c === '"' || c === "'") {
      // A digit separator (1'000) is not a quote.
      if (c === "'" && /[0-9a-fA-F]/.test(line[i - 1] ?? '') && /[0-9a-fA-F]/.test(line[i + 1] ?? '')) {
        out += c;
        continue;
      }
      quote = c;
      out += c;
    } else if (c === '/' && line[i + 1] === '/') {
      return out + ' '.repeat(line.length - i);
    } else {
      out += c;
    }
  }
  return out;
}

const swaps = [
  [' <= ', ' < '], [' < ', ' <= '], [' >= ', ' > '], [' > ', ' >= '],
  [' == ', ' != '], [' != ', ' == '], [' && ', ' || '], [' || ', ' && '],
  [' + ', ' - '], [' - ', ' + '], ['true', 'false'], ['false', 'true'],
];

// Every single-point mutation of one line: [what, mutated line].
// Declarations are not dropped: that only fails to build, or changes nothing.
const declaration = /^(const|constexpr|static|auto|unsigned|signed|struct|class|using)\b|^[\w:]+(<.*>)?[\s*&]+\w+\s*(=|;|\{|\(|\[)/;

function mutationsOf(line, header) {
  const code = codeOf(line);
  const trimmed = code.trim();
  if (trimmed === '' || trimmed.startsWith('#') || trimmed.startsWith('*') || trimmed.startsWith('/*')) return [];
  if (/^(static_assert|namespace|using|template|struct|class|enum)\b/.test(trimmed)) return [];
  const found = [];
  const at = (index, from, to) =>
    found.push([`'${from.trim()}' -> '${to.trim()}'`, line.slice(0, index) + to + line.slice(index + from.length)]);
  for (const [from, to] of swaps) {
    const word = /^\w+$/.test(from);
    for (let i = code.indexOf(from); i >= 0; i = code.indexOf(from, i + 1)) {
      if (word && (/\w/.test(code[i - 1] ?? '') || /\w/.test(code[i + from.length] ?? ''))) continue;
      // ' < ' next to '<<' or in 'a <= b' is handled by its own entry.
      if ((from === ' < ' || from === ' > ') && (code[i + 3] === '=' || code[i - 1] === from[1])) continue;
      at(i, from, to);
    }
  }
  for (const m of code.matchAll(/(?<![\w.])(\d+)(?![\w.'])/g)) {
    const value = BigInt(m[1]);
    at(m.index, m[1], String(value + 1n));
  }
  const cond = code.search(/\b(if|while) \(/);
  if (cond >= 0) {
    const open = code.indexOf('(', cond);
    let depth = 0;
    for (let i = open; i < code.length; ++i) {
      if (code[i] === '(') ++depth;
      if (code[i] === ')' && --depth === 0) {
        found.push([
          'condition negated',
          line.slice(0, open + 1) + '!(' + line.slice(open + 1, i) + ')' + line.slice(i),
        ]);
        break;
      }
    }
  }
  const droppable = !header && trimmed.endsWith(';') && !declaration.test(trimmed);
  if (droppable && !/^(return|case|default)\b/.test(trimmed) && !trimmed.startsWith('}')) {
    const opens = (trimmed.match(/\(/g) || []).length;
    if (opens === (trimmed.match(/\)/g) || []).length) found.push(['statement dropped', '']);
  }
  return found;
}

function sourcesUnder(dir) {
  return fs
    .readdirSync(dir, { withFileTypes: true })
    .flatMap((e) => (e.isDirectory() ? sourcesUnder(path.join(dir, e.name)) : [path.join(dir, e.name)]))
    .filter((f) => /\.(cpp|h)$/.test(f));
}

// Per file, its sites in a seeded order; files visited round-robin, also in a
// seeded order, so every file gets one mutant before any gets two.
function plan() {
  const files = sourcesUnder(path.join(root, 'src'))
    .map((f) => path.relative(root, f))
    .sort();
  const queues = [];
  for (const file of files) {
    const lines = fs.readFileSync(path.join(root, file), 'utf8').split('\n');
    let inComment = false;
    const sites = [];
    lines.forEach((line, index) => {
      const opens = line.includes('/*');
      if (inComment || opens) {
        inComment = !line.includes('*/');
        return;
      }
      for (const [what, text] of mutationsOf(line, file.endsWith('.h'))) sites.push({ file, line: index, what, text });
    });
    if (sites.length) queues.push(shuffle(sites));
  }
  return shuffle(queues);
}

function run(command, argv, options = {}) {
  return new Promise((resolve) => {
    const child = spawn(command, argv, { cwd: options.cwd, stdio: 'ignore', detached: true });
    const timer = setTimeout(() => {
      try {
        process.kill(-child.pid, 'SIGKILL');
      } catch {}
    }, options.timeoutMs ?? 600000);
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      // Whatever the tests started goes with them.
      try {
        process.kill(-child.pid, 'SIGKILL');
      } catch {}
      resolve({ code, signal });
    });
  });
}

const queues = plan();
const describe = (m) => `${m.file}:${m.line + 1} ${m.what}`;
const show = (m) => `${describe(m)}\n    ${m.text.trim() || '(line removed)'}`;
if (listOnly) {
  let shown = 0;
  for (let round = 0; shown < count; ++round) {
    const before = shown;
    for (const q of queues) if (round < q.length && shown < count) (console.log(show(q[round])), ++shown);
    if (shown === before) break;
  }
  process.exit(0);
}

// A copy of the tracked tree (with uncommitted edits), built once.
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'trelvo-mutate-'));
const tracked = execFileSync('git', ['ls-files', '-z'], { cwd: root }).toString().split('\0').filter(Boolean);
for (const file of tracked) {
  if (!fs.existsSync(path.join(root, file))) continue;
  fs.mkdirSync(path.dirname(path.join(work, file)), { recursive: true });
  fs.copyFileSync(path.join(root, file), path.join(work, file));
}
// The suites put to each mutant: today's tests, and with --before the tests
// of that commit as a second suite in the same build, so that both meet the
// very same mutants.
const suites = [{ name: 'tests', suffix: '' }];
if (before) {
  const old = path.join(work, 'tests-before');
  fs.mkdirSync(old);
  execFileSync('sh', ['-c', `git archive "$0" tests | tar -x -C "$1" --strip-components=1`, before, old],
    { cwd: root });
  // Its unit and integration suites only, under names of their own.
  let lists = fs.readFileSync(path.join(old, 'CMakeLists.txt'), 'utf8');
  lists = lists.slice(0, lists.search(/\n# The chaos soak|\n# End-to-end tests/));
  lists = lists.replace(/\b(unit_tests|integration_tests)\b/g, '$1_before');
  fs.writeFileSync(path.join(old, 'CMakeLists.txt'), lists);
  fs.appendFileSync(path.join(work, 'CMakeLists.txt'), '\nadd_subdirectory(tests-before)\n');
  suites.push({ name: `tests of ${before}`, suffix: '_before', dir: 'tests-before' });
}
// Precompiled library headers in the copy only: most of a rebuild is the
// test files parsing them again.
for (const suite of suites) {
  fs.appendFileSync(path.join(work, suite.dir ?? 'tests', 'CMakeLists.txt'), `
foreach(target unit_tests${suite.suffix} integration_tests${suite.suffix})
  target_precompile_headers(\${target} PRIVATE <gtest/gtest.h> <nlohmann/json.hpp> <string> <vector>)
endforeach()
`);
}
fs.appendFileSync(path.join(work, 'CMakeLists.txt'), `
foreach(target trelvo_base trelvo_server)
  target_precompile_headers(\${target} PRIVATE <nlohmann/json.hpp> <string> <vector>)
endforeach()
`);
const build = path.join(work, 'build');
console.log(`seed ${seed}, ${count} mutants; working in ${work}`);
execFileSync('cmake', ['-S', work, '-B', build, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=None',
  '-DCMAKE_CXX_FLAGS=-O0 -g0', '-DTRELVO_BUILD_BENCH=OFF', '-DTRELVO_BUILD_FUZZ=OFF'], { stdio: 'ignore' });

// Per suite, whether it kills the build at hand; null when it does not build.
async function buildAndTest() {
  const targets = suites.flatMap((s) => [`unit_tests${s.suffix}`, `integration_tests${s.suffix}`]);
  const built = await run('cmake', ['--build', build, '--target', ...targets]);
  if (built.code !== 0) return null;
  const killed = [];
  for (const suite of suites) {
    const bin = path.join(build, suite.dir ?? 'tests');
    const unit = await run(path.join(bin, `unit_tests${suite.suffix}`), [], { timeoutMs: 180000 });
    const integration = unit.code !== 0 ? unit
      : await run(path.join(bin, `integration_tests${suite.suffix}`), ['--gtest_filter=-*RealTime*'],
        { timeoutMs: 300000 });
    killed.push(integration.code !== 0);
  }
  return killed;
}

process.stdout.write('unmutated build and tests... ');
const clean = await buildAndTest();
console.log(clean === null ? 'did not build' : clean.some(Boolean) ? 'a test fails' : 'pass');
if (clean === null || clean.some(Boolean)) process.exit(2);

const results = [];
const started = Date.now();
const verdict = (killed) => killed.map((k) => (k ? 'killed  ' : 'SURVIVED')).join(' ');
console.log(`verdicts by: ${suites.map((s) => s.name).join(', ')}`);
for (let round = 0; results.length < count; ++round) {
  let tried = false;
  for (const queue of queues) {
    if (results.length >= count) break;
    // A file's next site that builds; its sites are used in order.
    while (queue.length) {
      const m = queue.shift();
      const target = path.join(work, m.file);
      const original = fs.readFileSync(target, 'utf8');
      const lines = original.split('\n');
      lines[m.line] = m.text;
      fs.writeFileSync(target, lines.join('\n'));
      const killed = await buildAndTest();
      fs.writeFileSync(target, original);
      if (killed === null) continue;
      tried = true;
      results.push({ ...m, killed });
      console.log(`${verdict(killed)} ${describe(m)}`);
      break;
    }
  }
  if (!tried) break;
}

const minutes = ((Date.now() - started) / 60000).toFixed(1);
const summary = suites.map((suite, i) => {
  const killed = results.filter((r) => r.killed[i]).length;
  return `mutation score of ${suite.name} (seed ${seed}): ${killed} of ${results.length} killed, ` +
    `${results.length - killed} survived (${((100 * killed) / results.length).toFixed(1)}%)`;
}).join('\n') + `\n${minutes} min`;
console.log(summary);
fs.mkdirSync(path.join(root, 'build'), { recursive: true });
fs.writeFileSync(path.join(root, 'build/mutation-report.txt'),
  results.map((r) => `${verdict(r.killed)} ${describe(r)}`).join('\n') + `\n${summary}\n`);
fs.rmSync(work, { recursive: true, force: true });
process.exit(0);
