#!/usr/bin/python3
"""Prints what libpff (Debian's python3-pypff) reads from a PST file: every
folder (path from the root folder down, root excluded) with its messages
(subject, SHA-256 of the plain and HTML bodies, attachments with method,
size and SHA-256 of the bytes), as JSON. What libpff refuses goes into an "errors"
list on the object it belongs to. Run with /usr/bin/python3."""

import hashlib
import json
import struct
import sys

import pypff

PR_BODY = 0x1000
PR_HTML = 0x1013
PR_ATTACH_METHOD = 0x3705


def sha(data):
    if data is None:
        return None
    if isinstance(data, str):
        data = data.encode("utf-8")
    return hashlib.sha256(data).hexdigest()


def entries(item):
    """Every (tag id, type, bytes) of the item's first record set."""
    out = {}
    if item.number_of_record_sets == 0:
        return out
    for e in item.get_record_set(0).entries:
        out[e.entry_type] = (e.value_type, e.data)
    return out


def int32(props, tag):
    if tag not in props or props[tag][1] is None or len(props[tag][1]) < 4:
        return None
    return struct.unpack("<i", props[tag][1][:4])[0]


def attachments(message):
    out = []
    for i in range(message.number_of_attachments):
        try:
            att = message.get_attachment(i)
            method = int32(entries(att), PR_ATTACH_METHOD)
            size = att.get_size()
            data = att.read_buffer(size) if size else b""
            out.append({"method": method, "size": size, "sha256": sha(data)})
        except (IOError, OSError) as err:
            out.append({"errors": [str(err)]})
    return out


def text_sha(props, tag):
    """SHA-256 of a body as text: strings decoded by their type (so an
    8-bit body and its Unicode copy agree), binary HTML as stored."""
    if tag not in props:
        return None
    vtype, data = props[tag]
    if data is None:
        return None
    if vtype == 0x001F:
        return sha(data.decode("utf-16-le", "replace").rstrip("\0"))
    if vtype == 0x001E:
        return sha(data.rstrip(b"\0").decode("cp1252", "replace"))
    return sha(data)


def walk(folder, path, out):
    if path is not None:
        messages, errors = [], []
        for i in range(folder.number_of_sub_messages):
            try:
                m = folder.get_sub_message(i)
                props = entries(m)
                messages.append({
                    "subject": m.subject,
                    "body": text_sha(props, PR_BODY),
                    "html": text_sha(props, PR_HTML),
                    "attachments": attachments(m),
                })
            except (IOError, OSError) as err:
                errors.append(str(err))
        out.append({"path": path, "messages": messages, "errors": errors})
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        walk(sub, (path or []) + [sub.name], out)


def main():
    f = pypff.file()
    f.open(sys.argv[1])
    out = []
    walk(f.get_root_folder(), None, out)
    json.dump({"folders": out}, sys.stdout)


if __name__ == "__main__":
    main()
