#!/usr/bin/env node
// Reads a PST file with the npm package pst-extractor and prints, as JSON,
// what the compress tests compare between a source PST and its copy:
// every folder below the root (path of display names, container class),
// and per message its subject, recipients, plain and HTML bodies and
// attachments (file name, method, size and SHA-256 of the bytes; an
// embedded message by its subject and recipients). What pst-extractor
// throws on goes into an "errors" list of the object it belongs to.
//
// Usage: node pst_content.js FILE.pst

'use strict';

const { openPst, sha256, readFolders, readAttachments } = require('./pst_extractor_walk');

function recipients(msg) {
  const out = [];
  for (let i = 0; i < msg.numberOfRecipients; i++) {
    const r = msg.getRecipient(i);
    out.push({ name: r.displayName || '', email: r.emailAddress || '', type: r.recipientType });
  }
  return out;
}

function attachment(att) {
  const out = {
    filename: att.longFilename || att.filename || att.displayName || null,
    method: att.attachMethod,
  };
  if (att.attachMethod === 5) {
    const inner = att.embeddedPSTMessage;
    out.embedded = inner ? { subject: inner.subject, recipients: recipients(inner) } : null;
    return out;
  }
  const stream = att.fileInputStream;
  const data = Buffer.alloc(stream ? att.filesize : 0);
  if (stream) stream.readCompletely(data);
  out.size = data.length;
  out.sha256 = sha256(data);
  return out;
}

function message(msg) {
  const out = { subject: msg.subject, body: msg.body, html: msg.bodyHTML, recipients: [], attachments: [] };
  try {
    out.recipients = recipients(msg);
    readAttachments(msg, attachment, out.attachments);
  } catch (err) {
    out.errors = [String(err)];
  }
  return out;
}

const file = process.argv[2];
if (!file) {
  process.stderr.write('usage: node pst_content.js FILE.pst\n');
  process.exit(2);
}
const folders = readFolders(openPst(file), message);
process.stdout.write(JSON.stringify({ folders }) + '\n');
