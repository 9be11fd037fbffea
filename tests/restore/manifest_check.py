#!/usr/bin/python3
"""Checks a run folder's Varnolt_Manifest.jsonl with nothing of Varnolt's
own: every line against the schema (jsonschema), and every saved file
against its recorded SHA-256, a zipped one's single entry (read with
Python's zipfile) against the content's. Prints JSON: the lines read and a
list of problems. Run with /usr/bin/python3.

  manifest_check.py RUN_FOLDER SCHEMA"""

import hashlib
import json
import os
import sys
import zipfile

import jsonschema


def main():
    run_folder, schema_path = sys.argv[1], sys.argv[2]
    with open(schema_path, encoding="utf-8") as f:
        validator = jsonschema.Draft202012Validator(json.load(f))
    problems = []
    lines = []
    with open(os.path.join(run_folder, "Varnolt_Manifest.jsonl"), "rb") as f:
        for number, raw in enumerate(f, 1):
            line = json.loads(raw.decode("utf-8"))
            lines.append(line)
            for error in validator.iter_errors(line):
                problems.append("line %d: %s at %s" % (number, error.message, list(error.absolute_path)))
            saved = line.get("file")
            if not saved:
                continue
            path = os.path.join(run_folder, saved["path"])
            with open(path, "rb") as g:
                data = g.read()
            if hashlib.sha256(data).hexdigest() != saved["sha256"]:
                problems.append("line %d: %s: SHA-256 differs" % (number, saved["path"]))
            if "archiveEntry" in saved and saved["archiveEntry"]:
                with zipfile.ZipFile(path) as z:
                    names = z.namelist()
                    if len(names) != 1:
                        problems.append("line %d: %s: %d entries" % (number, saved["path"], len(names)))
                        continue
                    data = z.read(names[0])
            if hashlib.sha256(data).hexdigest() != saved["contentSha256"]:
                problems.append("line %d: %s: content SHA-256 differs" % (number, saved["path"]))
    json.dump({"lines": lines, "problems": problems}, sys.stdout)


main()
