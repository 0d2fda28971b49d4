#!/usr/bin/env node
// Reads trelvo-mcp's response lines on standard input and prints them for a
// person: a tool result's text as it is (pretty JSON, or the failure
// sentence), a JSON-RPC error as its code and message, anything else indented.
//
//   ... | build/release/trelvo-mcp | node scripts/pretty.mjs
import { createInterface } from 'node:readline';

for await (const line of createInterface({ input: process.stdin })) {
  let response;
  try {
    response = JSON.parse(line);
  } catch {
    console.log(line);
    continue;
  }
  const { id, result, error } = response;
  const content = result?.content?.[0];
  if (error) console.log(`id ${id}: JSON-RPC error ${error.code}: ${error.message}`);
  else if (content) console.log(`id ${id}${result.isError ? ' (error)' : ''}:\n${content.text}`);
  else console.log(`id ${id}:\n${JSON.stringify(result, null, 2)}`);
}
