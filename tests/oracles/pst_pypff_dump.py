#!/usr/bin/python3
"""Prints what libpff (Debian's python3-pypff) reads from a PST file, in the
shape of `varnolt-cli inspect`: folders (path from the root folder down,
root excluded) with their messages (subject, attachments with method, file
name, size and SHA-256 of the bytes). Anything libpff refuses goes into an
"errors" list on the object it belongs to. Run with /usr/bin/python3."""

import hashlib
import json
import struct
import sys

import pypff

PR_ATTACH_FILENAME = 0x3704
PR_ATTACH_LONG_FILENAME = 0x3707
PR_DISPLAY_NAME = 0x3001
PR_ATTACH_METHOD = 0x3705
PR_SUBJECT = 0x0037
PR_CONTAINER_CLASS = 0x3613


def entries(item):
    """Every (tag id, type, bytes) of the item's first record set."""
    out = {}
    try:
        if item.number_of_record_sets == 0:
            return out
        for e in item.get_record_set(0).entries:
            out[e.entry_type] = (e.value_type, e.data)
    except (IOError, OSError) as err:
        out["error"] = str(err)
    return out


def text(value):
    vtype, data = value
    if data is None:
        return None
    if vtype == 0x001F:
        return data.decode("utf-16-le", "replace").rstrip("\0")
    if vtype == 0x001E:
        return data.decode("cp1252", "replace").rstrip("\0")
    return None


def display_subject(s):
    if s and s[0] == "\x01":
        return s[2:]
    return s


def attachment(att):
    props = entries(att)
    j = {}
    name = None
    for tag in (PR_ATTACH_LONG_FILENAME, PR_ATTACH_FILENAME, PR_DISPLAY_NAME):
        if tag in props and text(props[tag]):
            name = text(props[tag])
            break
    j["filename"] = name
    method = props.get(PR_ATTACH_METHOD)
    j["method"] = struct.unpack("<i", method[1][:4])[0] if method and method[1] else 0
    if j["method"] == 5:
        j["embedded"] = True
        return j
    try:
        size = att.size
        data = att.read_buffer(size) if size else b""
        j["size"] = len(data)
        j["sha256"] = hashlib.sha256(data).hexdigest()
    except (IOError, OSError) as err:
        j["errors"] = [str(err)]
    return j


def message(msg):
    j = {}
    try:
        j["subject"] = display_subject(msg.subject)
    except (IOError, OSError) as err:
        j.setdefault("errors", []).append(str(err))
        j["subject"] = None
    atts = []
    try:
        count = msg.number_of_attachments
    except (IOError, OSError) as err:
        j.setdefault("errors", []).append(str(err))
        count = 0
    for i in range(count):
        try:
            atts.append(attachment(msg.get_attachment(i)))
        except (IOError, OSError) as err:
            atts.append({"errors": [str(err)]})
    j["attachments"] = atts
    return j


def walk(folder, path, out):
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        p = path + [sub.name or ""]
        entry = {"path": p, "messages": []}
        props = entries(sub)
        entry["container_class"] = text(props[PR_CONTAINER_CLASS]) if PR_CONTAINER_CLASS in props else None
        try:
            n = sub.number_of_sub_messages
        except (IOError, OSError) as err:
            entry["errors"] = [str(err)]
            n = 0
        for k in range(n):
            try:
                entry["messages"].append(message(sub.get_sub_message(k)))
            except (IOError, OSError) as err:
                entry["messages"].append({"errors": [str(err)]})
        out.append(entry)
        walk(sub, p, out)


def main():
    f = pypff.file()
    f.open(sys.argv[1])
    folders = []
    walk(f.get_root_folder(), [], folders)
    json.dump({"folders": folders}, sys.stdout, indent=1, sort_keys=True)
    f.close()


if __name__ == "__main__":
    main()
