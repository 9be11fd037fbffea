// The folder walk every pst-extractor reader in the tests shares: opening
// the file, visiting each folder below a start folder (parents before their
// subfolders, each with its path of display names) and each message of a
// folder in the order the contents table gives.
'use strict';

const crypto = require('crypto');
const path = require('path');

const modules = path.join(__dirname, 'node_modules');
const pstExtractor = require(path.join(modules, 'pst-extractor'));

function openPst(file) {
  return new pstExtractor.PSTFile(path.resolve(file));
}

function sha256(bytes) {
  return crypto.createHash('sha256').update(bytes).digest('hex');
}

// Calls onMessage for every message of the folder; pst-extractor throws
// when asked for the children of a folder whose contents table is empty.
function forEachMessage(folder, onMessage) {
  if (folder.contentCount > 0) {
    for (let child = folder.getNextChild(); child !== null; child = folder.getNextChild()) onMessage(child);
  }
}

// Calls visit(subfolder, path) for every folder below `folder`, depth first,
// a folder before its subfolders. Subfolders come from listSubfolders
// (getSubFolders unless told otherwise; a folder may hold subfolders while
// its flag says it has none). When listing throws, onListError(path, err)
// is called for the folder instead, or the error goes up without one.
function walkFolders(folder, names, visit, { onListError, listSubfolders = (f) => f.getSubFolders() } = {}) {
  let subs = [];
  try {
    subs = listSubfolders(folder);
  } catch (err) {
    if (!onListError) throw err;
    onListError(names, err);
    return;
  }
  for (const sub of subs) {
    const subPath = names.concat([sub.displayName]);
    visit(sub, subPath);
    walkFolders(sub, subPath, visit, { onListError, listSubfolders });
  }
}

// Every folder below the root: its path, its container class and its
// messages as readMessage gives them. What pst-extractor throws on goes
// into an "errors" list of the folder it belongs to.
function readFolders(pst, readMessage) {
  const folders = [];
  const visit = (folder, names) => {
    const entry = { path: names, container_class: folder.containerClass || null, messages: [] };
    try {
      forEachMessage(folder, (child) => entry.messages.push(readMessage(child)));
    } catch (err) {
      entry.errors = [String(err)];
    }
    folders.push(entry);
  };
  walkFolders(pst.getRootFolder(), [], visit, {
    onListError: (names, err) => folders.push({ path: names, errors: [String(err)] }),
  });
  return folders;
}

// Adds each attachment of the message, as readAttachment gives it, to
// `into`; one that throws is added as its error.
function readAttachments(msg, readAttachment, into) {
  for (let i = 0; i < msg.numberOfAttachments; i++) {
    try {
      into.push(readAttachment(msg.getAttachment(i)));
    } catch (err) {
      into.push({ errors: [String(err)] });
    }
  }
}

module.exports = { modules, pstExtractor, openPst, sha256, forEachMessage, walkFolders, readFolders, readAttachments };
