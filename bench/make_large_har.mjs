// Writes a large HTTP Archive for timing the demo core's loading of one:
// very many small entries with headers and short JSON bodies, and every few
// thousand a large base64 image body or a large escaped text body.
//
//   node bench/make_large_har.mjs OUT.har [MEGABYTES, default 200]
//   /usr/bin/time -v build/release/trelvo-demo-core --socket /tmp/x.sock --har OUT.har
//
// The same size gives the same file.
import { openSync, writeSync, closeSync } from 'node:fs';

const [out, megabytes = '200'] = process.argv.slice(2);
if (!out) {
  console.error('usage: node bench/make_large_har.mjs OUT.har [MEGABYTES]');
  process.exit(2);
}
const target = Number(megabytes) * 1e6;

let seed = 7;
const random = () => (seed = (Math.imul(seed, 1103515245) + 12345) >>> 0) / 2 ** 32;
const pick = (list) => list[Math.floor(random() * list.length)];

const hosts = ['api.shop.example.test', 'cdn.shop.example.test', 'auth.example.test'];
const paths = ['/v2/items', '/v2/basket', '/img/p.png', '/v1/session', '/v2/search?q=caf\u00e9'];
const base = Date.parse('2024-03-05T10:00:00Z');

const headers = (n) =>
  Array.from({ length: n }, (_, i) => ({
    name: `X-Header-${i}`,
    value: `value ${i} "${random()}"`,
  }));

// About 4 MB of base64 (3 MB of bytes), or of text full of escapes.
const bigBinary = () => {
  const bytes = Buffer.alloc(3 * 1024 * 1024);
  for (let i = 0; i < bytes.length; i += 4096) bytes[i] = Math.floor(random() * 256);
  const text = bytes.toString('base64');
  return { size: bytes.length, mimeType: 'image/png', text, encoding: 'base64' };
};
const bigText = () => {
  const line = `{"name": "caf\u00e9 \u{1F600}", "note": "tab\there\u0001", "n": ${random()}}\n`;
  const text = line.repeat(Math.ceil((4 * 1024 * 1024) / line.length));
  return { size: Buffer.byteLength(text), mimeType: 'application/json', text };
};

const file = openSync(out, 'w');
let written = 0;
const write = (s) => (written += writeSync(file, s));
write('{"log": {"version": "1.2", "creator": {"name": "bench", "version": "1"},\n');
write('"pages": [{"id": "page_1", "title": "Shop", "startedDateTime": "2024-03-05T10:00:00Z"}],\n');
write('"entries": [\n');
for (let i = 0; ; ++i) {
  // Mostly in order, with some entries a little early, as browsers write them.
  const ts = base + i * 10 - (i % 97 === 0 ? 15 : 0);
  const small = `{"id": ${i}, "ok": true, "list": [1, 2, 3]}`;
  const content =
    i % 4001 === 4000 ? bigBinary()
    : i % 6007 === 6006 ? bigText()
    : { size: small.length, mimeType: 'application/json', text: small };
  const entry = {
    pageref: 'page_1',
    startedDateTime: new Date(ts).toISOString(),
    time: 12.5 + random() * 300,
    request: {
      method: i % 5 ? 'GET' : 'POST',
      url: `https://${pick(hosts)}${pick(paths)}&i=${i}`,
      httpVersion: 'HTTP/2',
      headers: headers(8),
      queryString: [],
      cookies: [],
      headersSize: -1,
      bodySize: i % 5 ? 0 : 18,
      ...(i % 5 ? {} : { postData: { mimeType: 'application/json', text: '{"add": [1, 2, 3]}' } }),
    },
    response: {
      status: i % 50 ? 200 : 404,
      statusText: 'OK',
      httpVersion: 'HTTP/2',
      headers: headers(10),
      cookies: [],
      content,
      redirectURL: '',
      headersSize: -1,
      bodySize: content.size,
    },
    cache: {},
    timings: { send: 0.1, wait: 10.25, receive: 2.125 },
  };
  const text = JSON.stringify(entry);
  if (written + text.length > target) {
    write(text + '\n]}}\n');
    break;
  }
  write(text + ',\n');
}
closeSync(file);
