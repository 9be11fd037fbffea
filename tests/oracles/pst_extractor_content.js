// Prints what the npm package pst-extractor reads from a PST file: every
// folder (path from the root down, root excluded) with its messages
// (subject, SHA-256 of the plain and HTML bodies, attachments with method,
// size and SHA-256 of the bytes), as JSON, in the same shape as
// pst_pypff_content.py. What it cannot read goes into an "errors" list.
//
// Usage: node pst_extractor_content.js FILE.pst
'use strict';
const crypto = require('crypto');
const path = require('path');
const { PSTFile } = require(path.join(__dirname, 'node_modules', 'pst-extractor'));

const sha = (buf) => crypto.createHash('sha256').update(buf).digest('hex');
const textSha = (s) => (s ? sha(Buffer.from(s, 'utf8')) : null);

function attachment(att) {
  const out = { method: att.attachMethod };
  const stream = att.fileInputStream;
  if (stream) {
    const size = stream.length.toNumber();
    const buf = Buffer.alloc(size);
    if (size > 0) stream.readCompletely(buf);
    out.size = size;
    out.sha256 = sha(buf);
  } else {
    out.size = null;
    out.sha256 = null;
  }
  return out;
}

function folder(f, parents, out) {
  const errors = [];
  const messages = [];
  if (f.contentCount > 0) {
    try {
      for (let m = f.getNextChild(); m; m = f.getNextChild()) {
        const msg = { subject: m.subject, body: textSha(m.body), html: textSha(m.bodyHTML), attachments: [] };
        try {
          for (let i = 0; i < m.numberOfAttachments; i++) msg.attachments.push(attachment(m.getAttachment(i)));
        } catch (e) {
          msg.errors = [String(e)];
        }
        messages.push(msg);
      }
    } catch (e) {
      errors.push(String(e));
    }
  }
  if (parents !== null) out.push({ path: parents, messages, errors });
  if (f.hasSubfolders) {
    for (const s of f.getSubFolders()) {
      folder(s, parents === null ? [s.displayName] : parents.concat([s.displayName]), out);
    }
  }
}

const file = new PSTFile(path.resolve(process.argv[2]));
const folders = [];
folder(file.getRootFolder(), null, folders);
process.stdout.write(JSON.stringify({ folders }));
