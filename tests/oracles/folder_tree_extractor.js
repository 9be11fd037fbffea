#!/usr/bin/env node
// Prints what the npm package pst-extractor reads of the folder tree below
// the root's subfolder named TOP (TOP itself included, as path []): per
// folder its path of names, its container class, the subjects of its
// messages and the subjects and message classes of its hidden (associated)
// items, in the shape of folder_tree_pypff.py. pst-extractor has no call
// for hidden items, so they are read from the folder's associated-contents
// table (the folder's node id + 13) with its own table and message classes.
//
// Usage: node folder_tree_extractor.js FILE TOP (TOP ending in "*" matches a prefix)
'use strict';

const path = require('path');

const { modules, openPst, forEachMessage, walkFolders } = require('./pst_extractor_walk');

const dist = path.join(modules, 'pst-extractor', 'dist');
const { PSTTable7C } = require(path.join(dist, 'PSTTable7C.class'));
const { PSTTableBC } = require(path.join(dist, 'PSTTableBC.class'));
const { PSTNodeInputStream } = require(path.join(dist, 'PSTNodeInputStream.class'));
const { PSTUtil } = require(path.join(dist, 'PSTUtil.class'));
const Long = require(path.join(modules, 'long'));

const ASSOC_CONTENTS_TABLE_OFFSET = 13; // folder node type 0x02 -> 0x0F
const LTP_ROW_ID = 0x67f2;

function hiddenItems(file, folder) {
  const out = [];
  const tableNid = folder.descriptorIndexNode.descriptorIdentifier + ASSOC_CONTENTS_TABLE_OFFSET;
  const tableNode = file.getDescriptorIndexNode(Long.fromNumber(tableNid));
  const local = tableNode.localDescriptorsOffsetIndexIdentifier.greaterThan(0)
    ? file.getPSTDescriptorItems(tableNode.localDescriptorsOffsetIndexIdentifier)
    : undefined;
  const table = new PSTTable7C(
    new PSTNodeInputStream(file, file.getOffsetIndexNode(tableNode.dataOffsetIndexIdentifier)),
    local,
    LTP_ROW_ID
  );
  for (const row of table.getItems()) {
    const id = row.get(LTP_ROW_ID);
    if (!id) continue;
    const node = file.getDescriptorIndexNode(Long.fromNumber(id.entryValueReference));
    const props = new PSTTableBC(new PSTNodeInputStream(file, file.getOffsetIndexNode(node.dataOffsetIndexIdentifier)));
    const nodeLocal = node.localDescriptorsOffsetIndexIdentifier.greaterThan(0)
      ? file.getPSTDescriptorItems(node.localDescriptorsOffsetIndexIdentifier)
      : undefined;
    const item = PSTUtil.createAppropriatePSTMessageObject(file, node, props, nodeLocal);
    out.push({ subject: item.subject || '', class: item.messageClass || '' });
  }
  return out;
}

function folderEntry(file, folder, names) {
  const messages = [];
  forEachMessage(folder, (child) => messages.push(child.subject || ''));
  const hidden = hiddenItems(file, folder);
  messages.sort();
  hidden.sort((a, b) => (a.subject + '\0' + a.class < b.subject + '\0' + b.class ? -1 : 1));
  return { path: names, container_class: folder.containerClass || null, messages, hidden };
}

const [file, topName] = process.argv.slice(2);
if (!file || topName === undefined) {
  process.stderr.write('usage: node folder_tree_extractor.js FILE TOP\n');
  process.exit(2);
}
const pst = openPst(file);
const tops = pst
  .getRootFolder()
  .getSubFolders()
  .filter((f) => (topName.endsWith('*') ? f.displayName.startsWith(topName.slice(0, -1)) : f.displayName === topName));
if (tops.length !== 1) {
  process.stderr.write(`no single folder named ${topName} under the root\n`);
  process.exit(1);
}
const folders = [];
const visit = (folder, names) => folders.push(folderEntry(pst, folder, names));
visit(tops[0], []);
walkFolders(tops[0], [], visit);
process.stdout.write(JSON.stringify({ folders }) + '\n');
