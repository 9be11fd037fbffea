#!/usr/bin/python3
"""Reads an Outlook item file (.msg) with olefile and prints what it holds
as JSON: subject, message class, body digests, recipients, attachments
(name, method, size, SHA-256 of their bytes) and embedded messages.

An independent reader for the tests: it walks the storages and streams
itself and shares no code with the program. With --strict, olefile refuses
a compound file with any defect it knows of, and the named-property hash
streams must match the entry stream, which checks that files the program
writes are well-formed.

Usage: msg_olefile_dump.py [--strict] FILE.msg
"""

import codecs
import hashlib
import json
import struct
import sys

import olefile

PROPS = "__properties_version1.0"


def sha(data):
    return hashlib.sha256(data).hexdigest()


def stream_tags(ole, path):
    """Tags of the value streams directly in a storage: {tag: name}."""
    out = {}
    for entry in ole.listdir(streams=True, storages=True):
        if len(entry) != len(path) + 1 or entry[:len(path)] != path:
            continue
        name = entry[-1]
        if name.lower().startswith("__substg1.0_") and len(name) == 20:
            try:
                out[int(name[12:], 16)] = name
            except ValueError:
                pass
    return out


def fixed_values(ole, path, header):
    """Inline values of the property stream: {tag: 8 raw bytes}."""
    out = {}
    if not ole.exists(path + [PROPS]):
        return out
    data = ole.openstream(path + [PROPS]).read()
    for off in range(header, len(data) - 15, 16):
        tag, _flags = struct.unpack_from("<II", data, off)
        out.setdefault(tag, data[off + 8:off + 16])
    return out


def int32(fixed, tag):
    raw = fixed.get(tag)
    return None if raw is None else struct.unpack_from("<i", raw)[0]


def codepage(fixed):
    # String8 values are in the message's code page: PR_MESSAGE_CODEPAGE,
    # else PR_INTERNET_CPID, else Windows-1252.
    for tag in (0x3FFD0003, 0x3FDE0003):
        cp = int32(fixed, tag)
        if cp and cp > 0 and cp not in (1200, 1201):
            return cp
    return 1252


def python_codec(cp):
    names = {65001: "utf-8", 20127: "ascii", 28591: "latin-1", 1200: "utf-16-le"}
    name = names.get(cp, "cp%d" % cp)
    try:
        codecs.lookup(name)
        return name
    except LookupError:
        return "cp1252"


def text(ole, path, streams, prop_id, fixed):
    """A string property as text, whichever string type it has."""
    for ptype in (0x001F, 0x001E):
        name = streams.get((prop_id << 16) | ptype)
        if name is None:
            continue
        raw = ole.openstream(path + [name]).read()
        if ptype == 0x001F:
            return raw.decode("utf-16-le", errors="replace")
        return raw.decode(python_codec(codepage(fixed)), errors="replace")
    return None


def display_subject(subject):
    # A subject starting with U+0001 carries the length of its prefix in
    # the next character; readers show the subject without both.
    if subject and subject[0] == "\x01":
        return subject[2:]
    return subject


def guid_text(raw):
    d1, d2, d3 = struct.unpack_from("<IHH", raw)
    rest = raw[8:].hex().upper()
    return "{%08X-%04X-%04X-%s-%s}" % (d1, d2, d3, rest[:4], rest[4:])


PS_MAPI = "{00020328-0000-0000-C000-000000000046}"
PS_PUBLIC_STRINGS = "{00020329-0000-0000-C000-000000000046}"


def crc32_plain(data):
    # CRC-32 as the hash streams use it: no initial or final inversion.
    c = 0
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ (0xEDB88320 if c & 1 else 0)
    return c


def name_map(ole, check_hashes):
    """{property id: "{GUID}:0xLID" or "{GUID}:name"} from __nameid_version1.0."""
    base = ["__nameid_version1.0"]
    if not ole.exists(base):
        return {}
    read = lambda tag: ole.openstream(base + ["__substg1.0_%08X" % tag]).read() \
        if ole.exists(base + ["__substg1.0_%08X" % tag]) else b""
    guids, entries, strings = read(0x00020102), read(0x00030102), read(0x00040102)
    out = {}
    buckets = {}
    for off in range(0, len(entries) - 7, 8):
        key, info = struct.unpack_from("<II", entries, off)
        kind, gi, pid = info & 1, (info >> 1) & 0x7FFF, 0x8000 + (info >> 16)
        if gi == 1:
            guid = PS_MAPI
        elif gi == 2:
            guid = PS_PUBLIC_STRINGS
        else:
            guid = guid_text(guids[16 * (gi - 3):16 * (gi - 2)])
        if kind:
            length = struct.unpack_from("<I", strings, key)[0]
            raw = strings[key + 4:key + 4 + length]
            out.setdefault(pid, "%s:%s" % (guid, raw.decode("utf-16-le")))
            hkey = crc32_plain(raw)
        else:
            out.setdefault(pid, "%s:0x%04X" % (guid, key))
            hkey = key
        bucket = 0x1000 + (hkey ^ ((gi << 1) | kind)) % 0x1F
        buckets.setdefault(bucket, b"")
        buckets[bucket] += struct.pack("<II", hkey, info)
    if check_hashes:
        for bucket in range(0x1000, 0x101F):
            have = read((bucket << 16) | 0x0102)
            if have != buckets.get(bucket, b""):
                raise ValueError("name hash stream %04X does not match the entry stream" % bucket)
    return out


def message(ole, path, header):
    streams = stream_tags(ole, path)
    fixed = fixed_values(ole, path, header)
    body = text(ole, path, streams, 0x1000, fixed)
    html = None
    for tag, name in streams.items():
        if tag >> 16 == 0x1013:
            html = sha(ole.openstream(path + [name]).read())
    out = {
        "subject": display_subject(text(ole, path, streams, 0x0037, fixed)),
        "message_class": text(ole, path, streams, 0x001A, fixed),
        "body_text_sha256": sha(body.encode("utf-8")) if body is not None else None,
        "body_html_sha256": html,
        "has_rtf": 0x10090102 in streams,
        "recipients": [],
        "attachments": [],
    }
    children = sorted({e[len(path)] for e in ole.listdir(streams=True, storages=True)
                       if len(e) > len(path) and e[:len(path)] == path})
    for child in children:
        sub = path + [child]
        if ole.get_type(sub) != olefile.STGTY_STORAGE:
            continue
        if child.lower().startswith("__recip_version1.0_#"):
            rs = stream_tags(ole, sub)
            rf = fixed_values(ole, sub, 8)
            out["recipients"].append({
                "name": text(ole, sub, rs, 0x3001, rf),
                "email": text(ole, sub, rs, 0x3003, rf),
            })
        elif child.lower().startswith("__attach_version1.0_#"):
            out["attachments"].append(attachment(ole, sub))
    return out


def attachment(ole, path):
    streams = stream_tags(ole, path)
    fixed = fixed_values(ole, path, 8)
    name = None
    for prop_id in (0x3707, 0x3704, 0x3001):  # long name, short name, display name
        value = text(ole, path, streams, prop_id, fixed)
        if value:
            name = value
            break
    method = int32(fixed, 0x37050003)
    att = {"filename": name, "method": method if method is not None else 0, "size": None, "sha256": None}
    if 0x37010102 in streams:
        data = ole.openstream(path + [streams[0x37010102]]).read()
        att["size"] = len(data)
        att["sha256"] = sha(data)
    obj = path + ["__substg1.0_3701000D"]
    if ole.exists(obj) and ole.get_type(obj) == olefile.STGTY_STORAGE and method != 6 \
            and ole.exists(obj + [PROPS]):
        att["embedded"] = message(ole, obj, 24)
    return att


def main(argv):
    strict = "--strict" in argv
    files = [a for a in argv if a != "--strict"]
    if len(files) != 1:
        sys.stderr.write(__doc__)
        return 2
    defects = olefile.DEFECT_INCORRECT if strict else olefile.DEFECT_FATAL
    ole = olefile.OleFileIO(files[0], raise_defects=defects)
    doc = {"format": "msg", "message": message(ole, [], 32)}
    # The names of the top-level message's named properties, by tag.
    names = name_map(ole, strict)
    fixed = fixed_values(ole, [], 32)
    tags = set(fixed) | set(stream_tags(ole, []))
    doc["message"]["named"] = {"0x%08X" % t: names[t >> 16] for t in sorted(tags) if t >> 16 in names}
    json.dump(doc, sys.stdout, indent=1, sort_keys=True, ensure_ascii=False)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
