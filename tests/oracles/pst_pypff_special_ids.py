#!/usr/bin/python3
"""Prints what libpff (Debian's python3-pypff) reads of a PST's special
folders, as JSON: "folders", the path of every folder ("<top>" stands for
the top of personal folders, each step is "name#n", the n-th of that name
among its siblings, followed by " [container class]"), and "ids", for the
message store and for every folder that holds any, each special-folder
entry id (0x35E0-0x35E7, 0x3416; 0x36D0-0x36D9, 0x36E4) as the path of the
folder it names: "(search)" for search folders and what lies in them,
"(nothing)" for an id that names no folder of the file. Run with
/usr/bin/python3."""

import json
import struct
import sys

import pypff

from pst_pypff_dump import entries, text


def ids_in(tag, vtype, data):
    """The entry ids a value holds, in order, empty places left out."""
    if data is None:
        return []
    if vtype == 0x1102:
        count = struct.unpack_from("<I", data, 0)[0]
        offsets = [struct.unpack_from("<I", data, 4 + 4 * i)[0] for i in range(count)] + [len(data)]
        return [data[offsets[i]:offsets[i + 1]] for i in range(count) if offsets[i + 1] > offsets[i]]
    if tag == 0x36D9:
        out, at = [], 0
        while at + 4 <= len(data):
            block, size = struct.unpack_from("<HH", data, at)
            if block == 0:
                break
            e = at + 4
            while e + 4 <= at + 4 + size:
                element, esize = struct.unpack_from("<HH", data, e)
                if element == 1:
                    out.append(data[e + 4:e + 4 + esize])
                e += 4 + esize
            at += 4 + size
        return out
    return [data] if data else []


def is_id_tag(tag):
    return 0x35E0 <= tag <= 0x35E7 or tag == 0x3416 or 0x36D0 <= tag <= 0x36D9 or tag == 0x36E4


def main(path):
    f = pypff.file()
    f.open(path)
    store = entries(f.get_message_store())
    key = store.get(0x0FF9, (0, b""))[1]
    top_id = store.get(0x35E0, (0, None))[1]
    top = struct.unpack_from("<I", top_id, 20)[0] if top_id and len(top_id) == 24 else None
    paths, holders = {}, []

    def walk(folder, path, in_search):
        nid = folder.identifier
        search = in_search or (nid & 0x1F) == 0x03
        props = entries(folder)
        cls = text(props[0x3613]) if 0x3613 in props else ""
        paths[nid] = "(search)" if search else "%s [%s]" % (path, cls)
        holders.append((path, props))
        seen = {}
        for i in range(folder.number_of_sub_folders):
            child = folder.get_sub_folder(i)
            name = child.name or ""
            n = seen.get(name, 0)
            seen[name] = n + 1
            walk(child, "<top>" if child.identifier == top else "%s/%s#%d" % (path, name, n), search)

    walk(f.get_root_folder(), "", False)

    def target(entry_id):
        if len(entry_id) != 24 or entry_id[:4] != b"\0\0\0\0" or entry_id[4:20] != key:
            return "(nothing)"
        return paths.get(struct.unpack_from("<I", entry_id, 20)[0], "(nothing)")

    ids = {}
    for owner, props in [("store", store)] + holders:
        for tag, (vtype, data) in sorted(props.items()):
            if isinstance(tag, int) and is_id_tag(tag):
                for e in ids_in(tag, vtype, data):
                    ids.setdefault("%s 0x%04X" % (owner, tag), []).append(target(e))
    print(json.dumps({"folders": sorted(set(paths.values())), "ids": ids}, indent=1))


if __name__ == "__main__":
    main(sys.argv[1])
