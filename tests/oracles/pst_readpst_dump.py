#!/usr/bin/python3
"""Prints what libpst (Debian's pst-utils) reads from a PST file: lspst's
folder names with the subjects of their e-mails and appointments, and the
attachments readpst -S writes for each folder (file name, size, SHA-256).
readpst names folders below the top of the personal folders, so "path" is
relative to that folder; lspst names folders only by their display name.

Usage: pst_readpst_dump.py FILE SCRATCH_DIR"""

import hashlib
import json
import os
import re
import subprocess
import sys


def lspst(path):
    out = subprocess.run(["lspst", path], capture_output=True, check=True).stdout.decode("utf-8", "replace")
    folders = {}
    current = None
    for line in out.splitlines():
        m = re.match(r'^Folder "(.*)"$', line)
        if m:
            current = folders.setdefault(m.group(1), {"emails": [], "appointments": []})
            continue
        fields = line.split("\t")
        if current is None or not fields:
            continue
        if fields[0] == "Email":
            subject = next((f[len("Subject: "):] for f in fields if f.startswith("Subject: ")), "")
            current["emails"].append(subject)
        elif fields[0] == "Appointment":
            summary = next((f[len("SUMMARY: "):] for f in fields if f.startswith("SUMMARY: ")), "")
            current["appointments"].append(summary)
    return folders


def readpst(path, scratch):
    subprocess.run(["readpst", "-S", "-D", "-j0", "-q", "-o", scratch, path], capture_output=True, check=True)
    folders = {}
    tops = [d for d in os.listdir(scratch) if os.path.isdir(os.path.join(scratch, d))]
    for top in tops:
        base = os.path.join(scratch, top)
        for dirpath, _dirs, files in os.walk(base):
            rel = os.path.relpath(dirpath, base)
            rel = [] if rel == "." else rel.split(os.sep)
            atts = []
            for name in files:
                m = re.match(r"^(\d+)-(.*)$", name)
                if not m:
                    continue
                with open(os.path.join(dirpath, name), "rb") as f:
                    data = f.read()
                atts.append({"message": int(m.group(1)), "filename": m.group(2), "size": len(data),
                             "sha256": hashlib.sha256(data).hexdigest()})
            folders["/".join(rel)] = {"path": rel, "attachments": atts}
    return list(folders.values())


def main():
    path, scratch = sys.argv[1], sys.argv[2]
    json.dump({"lspst": lspst(path), "readpst": readpst(path, scratch)}, sys.stdout, indent=1, sort_keys=True)


if __name__ == "__main__":
    main()
