#!/usr/bin/env python3
"""Compresses PST files with the Linux and the Windows varnolt-cli (the
latter under Wine) and compares what they made: the same messages and
attachments in the new PSTs, the same saved bytes, the same account of the
run; names and links may differ only in the form of their paths. The
Windows program's PSTs are also read by pffinfo, readpst and the Linux
`varnolt-cli check`. Exits 1 on the first sample that differs."""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile

TREATMENTS = ["remove", "extract", "extract-zip"]
# The run folder and saved files carry the time of the run.
TIME = re.compile(r"\d\d-\d\d-\d{4}[_-]\d\d-\d\d-\d\d")
COUNTER = re.compile(r"_\(\d+\)((?:\.[^./]*)*)$")


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, errors="replace", **kw)


def run_folder(dest):
    found = [d for d in os.listdir(dest) if d.startswith("Varnolt_")]
    return os.path.join(dest, found[0]) if len(found) == 1 else None


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def normalised(name):
    # A name taken within the same second gets a counter, so counters follow
    # the run's pace; the time and the counter are left out.
    return COUNTER.sub(r"\1", TIME.sub("TIME", name))


def digest(cli, name, data):
    """SHA-256 of a saved file; of an Outlook item file, of what it holds
    (a new .msg differs from run to run in its compound file's own times)."""
    if not name.lower().endswith(".msg"):
        return sha256(data)
    with tempfile.NamedTemporaryFile(suffix=".msg") as f:
        f.write(data)
        f.flush()
        result = run([cli, "inspect", "--properties", f.name])
        return "msg:" + sha256(result.stdout.encode()) if result.returncode == 0 else "unreadable .msg"


def saved_files(cli, folder):
    """Every saved file (zip members read out) as a sorted list of
    (normalised name, digest)."""
    out = []
    if not folder or not os.path.isdir(folder):
        return out
    for base, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(base, name)
            rel = normalised(os.path.relpath(path, folder).replace(os.sep, "/"))
            if name.lower().endswith(".zip"):
                with zipfile.ZipFile(path) as z:
                    for member in z.infolist():
                        out.append((rel + "!" + normalised(member.filename),
                                    digest(cli, member.filename, z.read(member))))
            else:
                with open(path, "rb") as f:
                    out.append((rel, digest(cli, name, f.read())))
    return sorted(out)


def inspected(cli, pst, keep_bodies):
    result = run([cli, "inspect", pst])
    if result.returncode != 0:
        return {"inspect failed": result.stderr.strip()}
    tree = json.loads(result.stdout)
    if not keep_bodies:
        # Links in the bodies name the run folder in each system's form.
        for folder in tree.get("folders", []):
            for message in folder.get("messages", []):
                for key in [k for k in message if k.startswith("body_")]:
                    del message[key]
    return tree


def readpst_messages(pst):
    with tempfile.TemporaryDirectory() as out:
        result = run(["readpst", "-q", "-D", "-o", out, pst])
        if result.returncode != 0:
            return None
        count = 0
        for base, _, names in os.walk(out):
            for name in names:
                with open(os.path.join(base, name), "rb") as f:
                    count += sum(1 for line in f if line.startswith(b"From "))
        return count


def account(stdout):
    """The run's account without the lines that name paths."""
    lines = []
    for line in stdout.splitlines():
        text = line.strip()
        if not text or text.startswith(("run folder:", "report:")) or "/" in text or "\\" in text:
            continue
        lines.append(text)
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--linux", required=True)
    parser.add_argument("--windows", required=True)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("samples", nargs="+")
    args = parser.parse_args()
    failures = 0
    for sample in args.samples:
        stem = os.path.splitext(os.path.basename(sample))[0]
        for treatment in TREATMENTS:
            label = f"{stem} / {treatment}"
            dests = {}
            results = {}
            took = {}
            for side in ("linux", "windows"):
                dest = os.path.join(args.work, side, treatment, stem)
                os.makedirs(dest)
                dests[side] = dest
                cli = [args.linux] if side == "linux" else [args.wine, args.windows]
                began = time.monotonic()
                results[side] = run(cli + ["compress", "--treatment", treatment, "--dest", dest, sample])
                took[side] = time.monotonic() - began
            problems = []
            if results["linux"].returncode != results["windows"].returncode:
                problems.append(f"exit {results['linux'].returncode} on Linux, {results['windows'].returncode} on Windows: "
                                + results["windows"].stderr.strip()[-400:])
            if account(results["linux"].stdout) != account(results["windows"].stdout):
                problems.append("accounts differ:\n  " + "\n  ".join(account(results["windows"].stdout)))
            folders = {side: run_folder(dests[side]) for side in dests}
            saved = {"linux": [], "windows": []}
            if (folders["linux"] is None) != (folders["windows"] is None):
                problems.append(f"run folders: {folders}")
            elif folders["windows"]:
                psts = {side: os.path.join(folders[side], "KestrikCompress.pst") for side in folders}
                if not os.path.isfile(psts["windows"]):
                    problems.append("the Windows run made no new PST")
                else:
                    if run(["pffinfo", psts["windows"]]).returncode != 0:
                        problems.append("pffinfo cannot read the Windows PST")
                    check = run([args.linux, "check", psts["windows"]])
                    if check.returncode != 0:
                        problems.append("varnolt-cli check: " + check.stdout.strip()[-400:])
                    counts = {side: readpst_messages(psts[side]) for side in psts}
                    if counts["windows"] is None or counts["linux"] != counts["windows"]:
                        problems.append(f"readpst messages: {counts}")
                    keep_bodies = treatment == "remove"
                    trees = {side: inspected(args.linux, psts[side], keep_bodies) for side in psts}
                    if trees["linux"] != trees["windows"]:
                        problems.append("the new PSTs differ (inspect)")
                saved = {side: saved_files(args.linux, os.path.join(folders[side], "Outlook_Attachments")) for side in folders}
                if saved["linux"] != saved["windows"]:
                    problems.append(f"saved attachments differ: {sorted(set(saved['linux']) ^ set(saved['windows']))[:6]}")
            status = "ok" if not problems else "DIFFERS"
            print(f"{status:8} {label}: Linux {took['linux']:.1f} s, Windows {took['windows']:.1f} s"
                  + (f", {len(saved['windows'])} saved" if folders.get("windows") else ""))
            for problem in problems:
                print("         " + problem)
            failures += bool(problems)
    print(f"{failures} of {len(args.samples) * len(TREATMENTS)} runs differ")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
