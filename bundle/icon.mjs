// Draws the bundle's icon, a 512×512 RGBA PNG: a deep blue rounded square with
// a white wave, a burst of traffic on a quiet line, ending in an amber dot, the
// flow caught. Drawn from code rather than kept as a binary so that it can be
// read, changed and reviewed like the rest of the tree.
//
// The bytes are the same on every run, and meant to be on every machine: the
// pixels use only arithmetic and square roots, which IEEE doubles give exactly
// everywhere (no sin or pow), and the compressor only looks for runs of one
// byte, which zlib builds do alike (Node's and Debian's give the same bytes);
// its usual search for repeats does not (they differ).
//
//   node bundle/icon.mjs OUT.png
import { writeFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import { constants, deflateSync } from 'node:zlib';

const SIZE = 512;

// The rounded square: a little room around it, as desktop hosts expect of an
// app icon, and corners near those of the hosts' own icons.
const MARGIN = 16;
const RADIUS = 112;
// The background's gradient, top to bottom: level rows, which filter to runs
// of zeros and so compress well without a search for repeats.
const TOP = [40, 84, 200];
const BOTTOM = [22, 26, 92];
const WHITE = [255, 255, 255];
const AMBER = [255, 184, 64];

// The wave: a flat line, then extremes that grow and fade, settling back on
// the line just short of the dot. Between two neighbouring points the curve
// leaves and arrives level, which reads as a smooth wave.
const STROKE = 28;
const WAVE = [
  [76, 256],
  [124, 256],
  [160, 212],
  [206, 338],
  [256, 150],
  [306, 326],
  [348, 228],
  [380, 256],
];
const DOT = { x: 430, y: 256, r: 25 };

// The flat start, then one cubic between each two points with level tangents,
// cut into short straight segments.
function waveSegments() {
  const segments = [];
  const [fx, fy] = WAVE[0];
  segments.push([fx, fy, WAVE[1][0], WAVE[1][1]]);
  for (let i = 1; i + 1 < WAVE.length; i++) {
    const [x0, y0] = WAVE[i];
    const [x3, y3] = WAVE[i + 1];
    const k = 0.4 * (x3 - x0);
    const [x1, y1, x2, y2] = [x0 + k, y0, x3 - k, y3];
    const steps = 48;
    let [px, py] = [x0, y0];
    for (let s = 1; s <= steps; s++) {
      const t = s / steps;
      const u = 1 - t;
      const x = u * u * u * x0 + 3 * u * u * t * x1 + 3 * u * t * t * x2 + t * t * t * x3;
      const y = u * u * u * y0 + 3 * u * u * t * y1 + 3 * u * t * t * y2 + t * t * t * y3;
      segments.push([px, py, x, y]);
      [px, py] = [x, y];
    }
  }
  return segments;
}

function segmentDistance(px, py, [ax, ay, bx, by]) {
  const dx = bx - ax;
  const dy = by - ay;
  const lengthSquared = dx * dx + dy * dy;
  let t = lengthSquared === 0 ? 0 : ((px - ax) * dx + (py - ay) * dy) / lengthSquared;
  t = t < 0 ? 0 : t > 1 ? 1 : t;
  const ex = px - (ax + t * dx);
  const ey = py - (ay + t * dy);
  return Math.sqrt(ex * ex + ey * ey);
}

// Signed distance to the rounded square: negative inside.
function squareDistance(px, py) {
  const half = SIZE / 2 - MARGIN - RADIUS;
  const qx = Math.abs(px - SIZE / 2) - half;
  const qy = Math.abs(py - SIZE / 2) - half;
  const ox = Math.max(qx, 0);
  const oy = Math.max(qy, 0);
  return Math.sqrt(ox * ox + oy * oy) + Math.min(Math.max(qx, qy), 0) - RADIUS;
}

// How much of a pixel a shape covers, from the signed distance to its edge at
// the pixel's centre: the antialiasing of a one-pixel-wide edge.
const coverage = (distance) => Math.min(Math.max(0.5 - distance, 0), 1);

const mix = (a, b, t) => a + (b - a) * t;

// Distance from each pixel's centre to the wave's centre line, measured only
// where the stroke can reach (Infinity elsewhere).
function waveDistances() {
  const nearest = new Float64Array(SIZE * SIZE).fill(Infinity);
  const reach = STROKE / 2 + 1;
  for (const segment of waveSegments()) {
    const [ax, ay, bx, by] = segment;
    const left = Math.max(0, Math.floor(Math.min(ax, bx) - reach));
    const right = Math.min(SIZE - 1, Math.ceil(Math.max(ax, bx) + reach));
    const top = Math.max(0, Math.floor(Math.min(ay, by) - reach));
    const bottom = Math.min(SIZE - 1, Math.ceil(Math.max(ay, by) + reach));
    for (let y = top; y <= bottom; y++) {
      for (let x = left; x <= right; x++) {
        const d = segmentDistance(x + 0.5, y + 0.5, segment);
        if (d < nearest[y * SIZE + x]) nearest[y * SIZE + x] = d;
      }
    }
  }
  return nearest;
}

// The picture as straight (not premultiplied) RGBA, row by row.
export function drawIcon() {
  const pixels = new Uint8Array(SIZE * SIZE * 4);
  const wave = waveDistances();
  for (let y = 0; y < SIZE; y++) {
    for (let x = 0; x < SIZE; x++) {
      const px = x + 0.5;
      const py = y + 0.5;
      const alpha = coverage(squareDistance(px, py));
      if (alpha === 0) continue;
      const line = coverage(wave[y * SIZE + x] - STROKE / 2);
      const dx = px - DOT.x;
      const dy = py - DOT.y;
      const dot = coverage(Math.sqrt(dx * dx + dy * dy) - DOT.r);
      const at = (y * SIZE + x) * 4;
      for (let i = 0; i < 3; i++) {
        const background = mix(TOP[i], BOTTOM[i], py / SIZE);
        pixels[at + i] = Math.round(mix(mix(background, WHITE[i], line), AMBER[i], dot));
      }
      pixels[at + 3] = Math.round(alpha * 255);
    }
  }
  return pixels;
}

const CRC_TABLE = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

export function crc32(bytes) {
  let c = 0xffffffff;
  for (const byte of bytes) c = CRC_TABLE[(c ^ byte) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function chunk(type, data) {
  const body = Buffer.concat([Buffer.from(type, 'latin1'), data]);
  const length = Buffer.alloc(4);
  length.writeUInt32BE(data.length);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([length, body, crc]);
}

// The byte each of PNG's five filters predicts from the one to the left (a),
// above (b) and above-left (c).
function predict(type, a, b, c) {
  switch (type) {
    case 0:
      return 0;
    case 1:
      return a;
    case 2:
      return b;
    case 3:
      return (a + b) >> 1;
    default: {
      const p = a + b - c;
      const pa = Math.abs(p - a);
      const pb = Math.abs(p - b);
      const pc = Math.abs(p - c);
      return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    }
  }
}

// Each row with the filter whose output has the smallest sum of magnitudes,
// the usual choice, which lets flat areas and gradients compress to little.
function filterRows(pixels, width, height) {
  const stride = width * 4;
  const out = Buffer.alloc(height * (stride + 1));
  const row = new Uint8Array(stride);
  for (let y = 0; y < height; y++) {
    const cur = pixels.subarray(y * stride, (y + 1) * stride);
    const prev = y > 0 ? pixels.subarray((y - 1) * stride, y * stride) : new Uint8Array(stride);
    let best = null;
    let bestCost = Infinity;
    for (let type = 0; type <= 4; type++) {
      let cost = 0;
      for (let i = 0; i < stride; i++) {
        const a = i >= 4 ? cur[i - 4] : 0;
        const b = prev[i];
        const c = i >= 4 ? prev[i - 4] : 0;
        row[i] = (cur[i] - predict(type, a, b, c)) & 0xff;
        cost += row[i] < 128 ? row[i] : 256 - row[i];
      }
      if (cost < bestCost) {
        bestCost = cost;
        best = [type, Uint8Array.from(row)];
      }
    }
    const at = y * (stride + 1);
    out[at] = best[0];
    out.set(best[1], at + 1);
  }
  return out;
}

export function encodePng(pixels, width, height) {
  const header = Buffer.alloc(13);
  header.writeUInt32BE(width, 0);
  header.writeUInt32BE(height, 4);
  header[8] = 8; // bits per channel
  header[9] = 6; // RGBA
  // [10..12]: deflate, the one filter method, no interlacing: all zero.
  const data = deflateSync(filterRows(pixels, width, height), { level: 9, memLevel: 9, strategy: constants.Z_RLE });
  const signature = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
  return Buffer.concat([signature, chunk('IHDR', header), chunk('IDAT', data), chunk('IEND', Buffer.alloc(0))]);
}

export function iconPng() {
  return encodePng(drawIcon(), SIZE, SIZE);
}

export function writeIcon(file) {
  writeFileSync(file, iconPng());
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const [out] = process.argv.slice(2);
  if (!out) {
    console.error('usage: node bundle/icon.mjs OUT.png');
    process.exit(2);
  }
  writeIcon(out);
}
