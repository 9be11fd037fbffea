// Prints what the npm package pst-extractor reads from a PST file: every
// folder (path from the root down, root excluded) with its messages
// (subject, SHA-256 of the plain and HTML bodies, attachments with method,
// size and SHA-256 of the bytes), as JSON, in the same shape as
// pst_pypff_content.py. What it cannot read goes into an "errors" list.
//
// Usage: node pst_extractor_content.js FILE.pst
'use strict';
const { openPst, sha256, forEachMessage, walkFolders } = require('./pst_extractor_walk');

const textSha = (s) => (s ? sha256(Buffer.from(s, 'utf8')) : null);

function attachment(att) {
  const out = { method: att.attachMethod };
  const stream = att.fileInputStream;
  if (stream) {
    const size = stream.length.toNumber();
    const buf = Buffer.alloc(size);
    if (size > 0) stream.readCompletely(buf);
    out.size = size;
    out.sha256 = sha256(buf);
  } else {
    out.size = null;
    out.sha256 = null;
  }
  return out;
}

function folderEntry(f, names) {
  const errors = [];
  const messages = [];
  try {
    forEachMessage(f, (m) => {
      const msg = { subject: m.subject, body: textSha(m.body), html: textSha(m.bodyHTML), attachments: [] };
      try {
        for (let i = 0; i < m.numberOfAttachments; i++) msg.attachments.push(attachment(m.getAttachment(i)));
      } catch (e) {
        msg.errors = [String(e)];
      }
      messages.push(msg);
    });
  } catch (e) {
    errors.push(String(e));
  }
  return { path: names, messages, errors };
}

const folders = [];
walkFolders(openPst(process.argv[2]).getRootFolder(), [], (f, names) => folders.push(folderEntry(f, names)), {
  listSubfolders: (f) => (f.hasSubfolders ? f.getSubFolders() : []),
});
process.stdout.write(JSON.stringify({ folders }));
