#!/usr/bin/env node
// De-encapsulates the HTML or plain text inside an RTF document with the
// npm package rtf-stream-parser and prints {"mode": "html"|"text",
// "text": ...} as JSON. An independent reader of the RTF we write around
// message bodies.
//
// Usage: node rtf_deencapsulate.js FILE.rtf

'use strict';

const fs = require('fs');
const path = require('path');

const modules = path.join(__dirname, 'node_modules');
const { deEncapsulateSync } = require(path.join(modules, 'rtf-stream-parser'));
const iconv = require(path.join(modules, 'iconv-lite'));

const file = process.argv[2];
if (!file) {
  process.stderr.write('usage: node rtf_deencapsulate.js FILE.rtf\n');
  process.exit(2);
}
try {
  const result = deEncapsulateSync(fs.readFileSync(file), { decode: iconv.decode });
  process.stdout.write(JSON.stringify({ mode: result.mode, text: String(result.text) }) + '\n');
} catch (e) {
  process.stderr.write(file + ': ' + e.message + '\n');
  process.exit(1);
}
