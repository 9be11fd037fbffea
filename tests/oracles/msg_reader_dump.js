#!/usr/bin/env node
// Reads an Outlook item file (.msg) with the npm package
// @kenjiuno/msgreader and prints what it holds as JSON, in the shape
// msg_olefile_dump.py prints: subject, message class, body digests,
// recipients, attachments (name, size, SHA-256 of their bytes) and
// embedded messages. An independent reader for the tests.
//
// Usage: node msg_reader_dump.js FILE.msg

'use strict';

const crypto = require('crypto');
const fs = require('fs');
const path = require('path');

const MsgReader = require(path.join(__dirname, 'node_modules', '@kenjiuno', 'msgreader')).default;

function sha(bytes) {
  return crypto.createHash('sha256').update(bytes).digest('hex');
}

function displaySubject(s) {
  // A subject starting with U+0001 carries the length of its prefix in
  // the next character; readers show the subject without both.
  if (typeof s === 'string' && s.charCodeAt(0) === 1) return s.substring(2);
  return s === undefined ? null : s;
}

function message(reader, fields) {
  let html = null;
  if (fields.html instanceof Uint8Array) html = sha(fields.html);
  else if (typeof fields.bodyHtml === 'string') html = sha(Buffer.from(fields.bodyHtml, 'utf16le'));
  const out = {
    subject: displaySubject(fields.subject),
    message_class: fields.messageClass === undefined ? null : fields.messageClass,
    body_text_sha256: typeof fields.body === 'string' ? sha(Buffer.from(fields.body, 'utf8')) : null,
    body_html_sha256: html,
    has_rtf: fields.compressedRtf instanceof Uint8Array,
    recipients: (fields.recipients || []).map((r) => ({
      name: r.name === undefined ? null : r.name,
      email: r.email === undefined ? null : r.email,
    })),
    attachments: [],
  };
  for (const a of fields.attachments || []) {
    const name = a.fileName || a.fileNameShort || a.name || null;
    const att = { filename: name, size: null, sha256: null };
    if (a.innerMsgContent === true && a.innerMsgContentFields) {
      att.embedded = message(reader, a.innerMsgContentFields);
    } else if (typeof a.dataId === 'number') {
      const content = reader.getAttachment(a).content;
      att.size = content.length;
      att.sha256 = sha(content);
    }
    out.attachments.push(att);
  }
  return out;
}

function main() {
  const file = process.argv[2];
  if (!file) {
    process.stderr.write('usage: node msg_reader_dump.js FILE.msg\n');
    process.exit(2);
  }
  const reader = new MsgReader(fs.readFileSync(file));
  reader.parserConfig = { includeRawProps: true };
  const fields = reader.getFileData();
  if (fields.error) {
    process.stderr.write(file + ': ' + fields.error + '\n');
    process.exit(1);
  }
  const doc = { format: 'msg', message: message(reader, fields) };
  // The names of the top-level message's named properties, by tag: the
  // property set and number, or (msgreader gives no set for these) the
  // string name alone.
  const named = {};
  for (const p of fields.rawProps || []) {
    const tag = '0x' + p.propertyTag.toUpperCase();
    if (parseInt(p.propertyTag.substring(0, 4), 16) < 0x8000) continue;
    if (p.propertySet !== undefined && p.propertyLid !== undefined) {
      named[tag] = '{' + p.propertySet.toUpperCase() + '}:0x' + p.propertyLid.toUpperCase().slice(-4);
    } else if (p.propertyName !== undefined) {
      named[tag] = ':' + p.propertyName;
    }
  }
  doc.message.named = named;
  process.stdout.write(JSON.stringify(doc, null, 1) + '\n');
}

main();
