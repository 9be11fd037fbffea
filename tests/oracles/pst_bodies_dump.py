#!/usr/bin/python3
"""Prints the message bodies of a PST file as an independent reader sees
them, as JSON: every folder (path of display names from the root folder
down, root excluded) with its messages' subjects and bodies.

  pst_bodies_dump.py pypff FILE           libpff (python3-pypff): the plain
                                          text, HTML and RTF bodies
  pst_bodies_dump.py readpst FILE SCRATCH libpst (pst-utils): the text and
                                          HTML parts readpst writes into its
                                          mbox files; paths are relative to
                                          the top of the personal folders

Bodies are given as text (UTF-8, undecodable bytes replaced) so that a
test can look for a link in them. Run with /usr/bin/python3."""

import email
import email.policy
import json
import mailbox
import os
import re
import subprocess
import sys


def text(data):
    if data is None:
        return None
    if isinstance(data, str):
        return data
    return data.decode("utf-8", "replace").rstrip("\0")


def html_text(data):
    """libpff hands out the HTML body as the property's bytes: UTF-16LE
    when the body is a string property (PR_BODY_HTML), else as stored."""
    if data is None:
        return None
    if len(data) >= 2 and data[1] == 0 and data[0] != 0:
        return data[: len(data) // 2 * 2].decode("utf-16-le", "replace").rstrip("\0")
    return text(data)


def display_subject(s):
    if s and s[0] == "\x01":
        return s[2:]
    return s


def pypff_dump(path):
    import pypff

    def body(get, raw=False):
        try:
            return get() if raw else text(get())
        except (IOError, OSError):
            return None

    def walk(folder, names, out):
        for i in range(folder.number_of_sub_folders):
            sub = folder.get_sub_folder(i)
            p = names + [sub.name or ""]
            entry = {"path": p, "messages": []}
            for k in range(sub.number_of_sub_messages):
                try:
                    m = sub.get_sub_message(k)
                except (IOError, OSError) as err:
                    entry["messages"].append({"errors": [str(err)]})
                    continue
                entry["messages"].append({
                    "subject": display_subject(m.subject),
                    "plain": body(lambda: m.plain_text_body),
                    "html": html_text(body(lambda: m.html_body, raw=True)),
                    "rtf": body(lambda: m.rtf_body),
                })
            out.append(entry)
            walk(sub, p, out)

    f = pypff.file()
    f.open(path)
    folders = []
    walk(f.get_root_folder(), [], folders)
    f.close()
    return {"folders": folders}


def part_text(part):
    payload = part.get_payload(decode=True)
    if payload is None:
        return None
    charset = part.get_content_charset() or "utf-8"
    try:
        return payload.decode(charset, "replace")
    except LookupError:
        return payload.decode("utf-8", "replace")


def readpst_dump(path, scratch):
    subprocess.run(["readpst", "-D", "-j0", "-q", "-o", scratch, path], capture_output=True, check=True)
    folders = []
    for dirpath, _dirs, files in sorted(os.walk(scratch)):
        for name in sorted(files):
            # readpst writes FOLDER.mbox, and FOLDER.mboxNNNNNNNN when the
            # first name is taken.
            m = re.match(r"^(.*)\.mbox(\d*)$", name)
            if not m and name != "mbox":
                continue
            rel = os.path.relpath(dirpath, scratch)
            rel = [] if rel == "." else rel.split(os.sep)
            folder = rel + ([m.group(1)] if m else [])
            entry = {"path": folder, "messages": []}
            box = mailbox.mbox(os.path.join(dirpath, name),
                               factory=lambda f: email.message_from_binary_file(f, policy=email.policy.compat32))
            for msg in box:
                plain, html = None, None
                for part in msg.walk():
                    if part.is_multipart() or part.get_filename():
                        continue
                    if part.get_content_type() == "text/plain" and plain is None:
                        plain = part_text(part)
                    elif part.get_content_type() == "text/html" and html is None:
                        html = part_text(part)
                subject = msg.get("Subject")
                if subject is not None:
                    subject = str(email.header.make_header(email.header.decode_header(subject)))
                entry["messages"].append({"subject": subject, "plain": plain, "html": html})
            folders.append(entry)
    return {"folders": folders}


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "pypff":
        out = pypff_dump(sys.argv[2])
    elif len(sys.argv) >= 4 and sys.argv[1] == "readpst":
        out = readpst_dump(sys.argv[2], sys.argv[3])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)
    json.dump(out, sys.stdout, indent=1, sort_keys=True)


if __name__ == "__main__":
    main()
