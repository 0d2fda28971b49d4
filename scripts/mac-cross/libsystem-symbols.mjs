// Prints, one a line and sorted, every symbol a macOS text stub (.tbd, version
// 4) exports for one architecture: libSystem's own and those of the libraries
// it re-exports, which the same file carries as further documents. The Mac
// cross-build compares each binary's imports with this list, since the binary
// cannot be loaded here to find out.
//
//   node scripts/mac-cross/libsystem-symbols.mjs STUB.tbd ARCH [MINOS]
//
// ARCH is the stub's name for it (arm64, x86_64). Symbols the stub hides from
// programs built for exactly MINOS ($ld$hide$osMINOS$name) are left out.
import { readFileSync } from 'node:fs';

const [stubPath, arch, minos] = process.argv.slice(2);
if (!arch) {
  console.error('usage: node libsystem-symbols.mjs STUB.tbd ARCH [MINOS]');
  process.exit(2);
}

// Flow sequences ([ a, 'b$c', ... ]) may span lines; names are plain or quoted.
function items(flow) {
  return [...flow.matchAll(/'([^']*)'|"([^"]*)"|([^\s,'"]+)/g)].map((m) => m[1] ?? m[2] ?? m[3]);
}

// Objective-C names in a stub stand for the symbols the compiler emits.
const PREFIXES = {
  symbols: [''],
  'weak-symbols': [''],
  'thread-local-symbols': [''],
  'objc-classes': ['_OBJC_CLASS_$_', '_OBJC_METACLASS_$_'],
  'objc-eh-types': ['_OBJC_EHTYPE_$_'],
  'objc-ivars': ['_OBJC_IVAR_$_'],
};

const target = `${arch}-macos`;
const text = readFileSync(stubPath, 'utf8');
const documents = text.split(/^--- /m).filter((d) => d.includes('tbd-version:'));
if (documents.length === 0) {
  console.error(`${stubPath}: no version 4 text stub in it`);
  process.exit(1);
}

const exported = new Set();
for (const document of documents) {
  // Top-level sections start in the first column; exports and reexports hold
  // lists of { targets, symbols, ... } entries.
  for (const section of document.split(/^(?=[a-z-]+:)/m)) {
    if (!/^(exports|reexports):/.test(section)) continue;
    for (const entry of section.split(/^\s*- /m).slice(1)) {
      const fields = new Map();
      for (const m of entry.matchAll(/([a-z-]+):\s*\[((?:'[^']*'|"[^"]*"|[^\]'"])*)\]/g)) {
        fields.set(m[1], items(m[2]));
      }
      if (!(fields.get('targets') ?? []).includes(target)) continue;
      for (const [key, prefixes] of Object.entries(PREFIXES)) {
        for (const name of fields.get(key) ?? []) {
          for (const prefix of prefixes) exported.add(prefix + name);
        }
      }
    }
  }
}
if (exported.size === 0) {
  console.error(`${stubPath}: exports nothing for ${target}`);
  process.exit(1);
}

if (minos) {
  const hide = `$ld$hide$os${minos}$`;
  for (const name of [...exported]) {
    if (name.startsWith(hide)) exported.delete(name.slice(hide.length));
  }
}
const names = [...exported].filter((name) => !name.startsWith('$ld$')).sort();
process.stdout.write(names.join('\n') + '\n');
