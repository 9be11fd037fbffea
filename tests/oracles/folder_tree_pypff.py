#!/usr/bin/python3
"""Prints what libpff (python3-pypff) reads of the folder tree below the
root's subfolder named TOP (TOP itself included, as path []): per folder
its path of names, its container class, the subjects of its messages and
the subjects and message classes of its hidden (associated) items, as
JSON. libpff lists a folder's hidden items among its sub-items, as items
whose node id is of the associated-message type. Run with /usr/bin/python3.

What libpff cannot read goes into an "errors" list of its folder.

Usage: folder_tree_pypff.py FILE TOP (TOP ending in "*" matches a prefix)"""

import json
import sys

import pypff

NID_TYPE_ASSOCIATED_MESSAGE = 0x08
PR_MESSAGE_CLASS = 0x001A
PR_SUBJECT = 0x0037
PR_CONTAINER_CLASS = 0x3613


def text(item, tag):
    """A string property of the item's first record set, or None."""
    if item.number_of_record_sets == 0:
        return None
    for e in item.get_record_set(0).entries:
        if e.entry_type != tag or e.data is None:
            continue
        if e.value_type == 0x001F:
            value = e.data.decode("utf-16-le", "replace")
        else:
            value = e.data.decode("cp1252", "replace")
        # Subjects may begin with a two-character prefix marker.
        value = value.rstrip("\0")
        if tag == PR_SUBJECT and value[:1] == "\x01":
            value = value[2:]
        return value
    return None


def walk(folder, path, out):
    messages, hidden, errors = [], [], []
    for i in range(folder.number_of_sub_messages):
        try:
            messages.append(folder.get_sub_message(i).subject or "")
        except (IOError, OSError) as err:
            errors.append(str(err))
    for i in range(folder.number_of_sub_items):
        try:
            item = folder.get_sub_item(i)
            if item.identifier & 0x1F == NID_TYPE_ASSOCIATED_MESSAGE:
                hidden.append({"subject": text(item, PR_SUBJECT) or "", "class": text(item, PR_MESSAGE_CLASS) or ""})
        except (IOError, OSError) as err:
            errors.append(str(err))
    entry = {
        "path": path,
        "container_class": text(folder, PR_CONTAINER_CLASS),
        "messages": sorted(messages),
        "hidden": sorted(hidden, key=lambda h: (h["subject"], h["class"])),
    }
    if errors:
        entry["errors"] = errors
    out.append(entry)
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        walk(sub, path + [sub.name or ""], out)


def main():
    f = pypff.file()
    f.open(sys.argv[1])
    root = f.get_root_folder()
    tops = [root.get_sub_folder(i) for i in range(root.number_of_sub_folders)]
    wanted = sys.argv[2]
    if wanted.endswith("*"):
        tops = [t for t in tops if (t.name or "").startswith(wanted[:-1])]
    else:
        tops = [t for t in tops if t.name == wanted]
    if len(tops) != 1:
        sys.exit("no single folder named %r under the root" % sys.argv[2])
    out = []
    walk(tops[0], [], out)
    json.dump({"folders": out}, sys.stdout)


if __name__ == "__main__":
    main()
