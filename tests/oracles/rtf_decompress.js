#!/usr/bin/env node
// Decompresses a PR_RTF_COMPRESSED value with the npm package
// @kenjiuno/decompressrtf and writes the RTF bytes to standard output,
// unchanged. An independent reader of the compressed RTF we write.
//
// Usage: node rtf_decompress.js FILE

'use strict';

const fs = require('fs');
const path = require('path');

const { decompressRTF } = require(path.join(__dirname, 'node_modules', '@kenjiuno', 'decompressrtf'));

const file = process.argv[2];
if (!file) {
  process.stderr.write('usage: node rtf_decompress.js FILE\n');
  process.exit(2);
}
try {
  const rtf = decompressRTF(Array.from(fs.readFileSync(file)));
  process.stdout.write(Buffer.from(rtf));
} catch (e) {
  process.stderr.write(file + ': ' + e.message + '\n');
  process.exit(1);
}
