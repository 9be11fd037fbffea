#!/usr/bin/env node
// Reads the bodies of an Outlook item file (.msg) with the npm package
// @kenjiuno/msgreader and prints them as JSON: the plain body, the HTML
// body (PR_HTML decoded through PR_INTERNET_CPID when it names UTF-8 or
// Windows-1252, else given as hex), the code pages, and the compressed RTF
// decompressed by @kenjiuno/decompressrtf. An independent reader of the
// bodies we write.
//
// Usage: node msg_body_dump.js FILE.msg

'use strict';

const fs = require('fs');
const path = require('path');

const modules = path.join(__dirname, 'node_modules');
const MsgReader = require(path.join(modules, '@kenjiuno', 'msgreader')).default;
const { decompressRTF } = require(path.join(modules, '@kenjiuno', 'decompressrtf'));
const iconv = require(path.join(modules, 'iconv-lite'));

const file = process.argv[2];
if (!file) {
  process.stderr.write('usage: node msg_body_dump.js FILE.msg\n');
  process.exit(2);
}
const reader = new MsgReader(fs.readFileSync(file));
const fields = reader.getFileData();
if (fields.error) {
  process.stderr.write(file + ': ' + fields.error + '\n');
  process.exit(1);
}
const out = {
  body: typeof fields.body === 'string' ? fields.body : null,
  html: null,
  html_hex: null,
  internet_codepage: fields.internetCodepage === undefined ? null : fields.internetCodepage,
  message_codepage: fields.messageCodepage === undefined ? null : fields.messageCodepage,
  rtf: null,
};
if (fields.html instanceof Uint8Array) {
  const bytes = Buffer.from(fields.html);
  if (out.internet_codepage === 65001) out.html = bytes.toString('utf8');
  else if (out.internet_codepage === 1252) out.html = iconv.decode(bytes, 'windows-1252');
  else out.html_hex = bytes.toString('hex');
} else if (typeof fields.bodyHtml === 'string') {
  out.html = fields.bodyHtml;
}
if (fields.compressedRtf instanceof Uint8Array) {
  out.rtf = Buffer.from(decompressRTF(Array.from(fields.compressedRtf))).toString('latin1');
}
process.stdout.write(JSON.stringify(out) + '\n');
