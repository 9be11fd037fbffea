#!/usr/bin/python3
"""Lists every storage and stream of a compound file with olefile, strictly
(any defect olefile knows of is an error), as JSON:
{"version": 3, "sector_size": 512, "root_clsid": "...",
 "entries": {"a/b": {"type": "stream", "size": N, "sha256": "..."},
             "a": {"type": "storage", "clsid": "..."}}}

Usage: msg_olefile_tree.py FILE
"""

import hashlib
import json
import sys

import olefile


def main(argv):
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    ole = olefile.OleFileIO(argv[0], raise_defects=olefile.DEFECT_INCORRECT)
    entries = {}
    for entry in ole.listdir(streams=True, storages=True):
        path = "/".join(entry)
        if ole.get_type(entry) == olefile.STGTY_STREAM:
            data = ole.openstream(entry).read()
            if len(data) != ole.get_size(entry):
                raise ValueError("%s: read %d bytes of %d" % (path, len(data), ole.get_size(entry)))
            entries[path] = {"type": "stream", "size": len(data), "sha256": hashlib.sha256(data).hexdigest()}
        else:
            entries[path] = {"type": "storage", "clsid": ole.getclsid(entry)}
    doc = {"version": ole.dll_version, "sector_size": ole.sector_size, "root_clsid": ole.root.clsid,
           "entries": entries}
    json.dump(doc, sys.stdout, indent=1, sort_keys=True)
    sys.stdout.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
