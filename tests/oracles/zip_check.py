#!/usr/bin/python3
"""Reads a ZIP archive with Python's zipfile module and prints what it found
as JSON: the result of testzip(), the archive comment, and for every entry
its raw and decoded name, header fields, and the SHA-256 of its content as
zipfile reads it back (which also checks the CRC-32).

Names without the UTF-8 flag are decoded as Windows-1252, the code page
Varnolt writes them in; zipfile itself decodes them as code page 437, from
which the raw bytes are recovered exactly.

Usage: zip_check.py ARCHIVE
"""

import hashlib
import json
import sys
import zipfile


def decode(raw, encoding):
    try:
        return raw.decode(encoding)
    except UnicodeDecodeError:
        return None


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: zip_check.py ARCHIVE")
    with zipfile.ZipFile(sys.argv[1]) as archive:
        result = {
            "testzip": archive.testzip(),
            "comment_hex": archive.comment.hex(),
            "entries": [],
        }
        for info in archive.infolist():
            utf8 = bool(info.flag_bits & 0x800)
            raw = info.orig_filename.encode("utf-8" if utf8 else "cp437")
            data = archive.read(info)
            result["entries"].append({
                "name": decode(raw, "utf-8" if utf8 else "cp1252"),
                "name_hex": raw.hex(),
                "flag_bits": info.flag_bits,
                "compress_type": info.compress_type,
                "create_version": info.create_version,
                "create_system": info.create_system,
                "extract_version": info.extract_version,
                "internal_attr": info.internal_attr,
                "external_attr": info.external_attr,
                "date_time": list(info.date_time),
                "crc": info.CRC,
                "compress_size": info.compress_size,
                "file_size": info.file_size,
                "header_offset": info.header_offset,
                "comment": decode(info.comment, "utf-8" if utf8 else "cp1252"),
                "read_size": len(data),
                "sha256": hashlib.sha256(data).hexdigest(),
            })
    json.dump(result, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main()
