#!/usr/bin/env node
// Reads a PST file with the npm package pst-extractor and prints what it
// holds as JSON: every folder below the root (path of display names, root
// excluded, container class), and per message its subject, its plain and
// HTML bodies, and its attachments (file name, method, size and SHA-256 of
// the bytes; embedded messages by subject). Anything pst-extractor throws
// on goes into an "errors" list of the object it belongs to. An
// independent reader for the tests.
//
// Usage: node pst_extractor_dump.js FILE.pst

'use strict';

const { openPst, sha256, readFolders, readAttachments } = require('./pst_extractor_walk');

function attachment(att) {
  const out = { filename: att.longFilename || att.filename || att.displayName || null, method: att.attachMethod };
  if (att.attachMethod === 5) {
    const inner = att.embeddedPSTMessage;
    out.embedded = inner ? inner.subject : null;
    return out;
  }
  const stream = att.fileInputStream;
  if (stream) {
    const data = Buffer.alloc(att.filesize);
    stream.readCompletely(data);
    out.size = data.length;
    out.sha256 = sha256(data);
  }
  return out;
}

function message(msg) {
  const out = { subject: msg.subject, body: msg.body, html: msg.bodyHTML, attachments: [] };
  try {
    readAttachments(msg, attachment, out.attachments);
  } catch (err) {
    out.errors = [String(err)];
  }
  return out;
}

function main() {
  const file = process.argv[2];
  if (!file) {
    process.stderr.write('usage: node pst_extractor_dump.js FILE.pst\n');
    process.exit(2);
  }
  const folders = readFolders(openPst(file), message);
  process.stdout.write(JSON.stringify({ folders }, null, 1) + '\n');
}

main();
