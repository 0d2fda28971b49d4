// Lays out the folder `mcpb pack` turns into a bundle: manifest.json, filled in
// from the template beside this file, the server binary at the manifest's
// entry point, and the icon drawn by icon.mjs. Shared by scripts/bundle.sh and
// the end-to-end bundle test, so the test packs what the script ships.
//
//   node bundle/stage.mjs BINARY DIR [PLATFORM]   prints the bundle's file name
import { chmodSync, copyFileSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { writeIcon } from './icon.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));

// The release version is the CMake project's, so the bundle and the .deb agree.
export function projectVersion() {
  const cmake = readFileSync(path.join(HERE, '..', 'CMakeLists.txt'), 'utf8');
  const match = /project\(\s*trelvo-mcp\s+VERSION\s+([0-9]+\.[0-9]+\.[0-9]+)/.exec(cmake);
  if (!match) throw new Error('no project VERSION in CMakeLists.txt');
  return match[1];
}

// `platform` is one of the manifest's platform names, which are Node's
// (`darwin`, `linux`): a native binary runs on the system it was built for only.
export function stageBundle(binary, dir, platform = process.platform) {
  const template = readFileSync(path.join(HERE, 'manifest.json'), 'utf8');
  const text = template.replace('@VERSION@', projectVersion()).replace('@PLATFORM@', platform);
  const manifest = JSON.parse(text);
  const entry = path.join(dir, manifest.server.entry_point);
  mkdirSync(path.dirname(entry), { recursive: true });
  copyFileSync(binary, entry);
  chmodSync(entry, 0o755);
  writeIcon(path.join(dir, manifest.icon));
  writeFileSync(path.join(dir, 'manifest.json'), text);
  return manifest;
}

// The name `mcpb pack` gives the bundle in what it prints. The system it is
// for is in its manifest.
export function bundleFileName(manifest) {
  return `${manifest.name}-${manifest.version}.mcpb`;
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const [binary, dir, platform] = process.argv.slice(2);
  if (!dir) {
    console.error('usage: node bundle/stage.mjs BINARY DIR [PLATFORM]');
    process.exit(2);
  }
  console.log(bundleFileName(stageBundle(binary, dir, platform)));
}
