#!/usr/bin/env python3
"""Builds a zip that the same files always turn into the same bytes, with their SHA256SUMS.

    make_zip.py ZIP [--text] NAME=PATH...

Each file is stored as NAME, in the order given, then SHA256SUMS ("HASH  NAME" lines, as
sha256sum -c reads them). A file after --text is a UTF-8 text for Windows: it is stored with
CR LF line ends and a byte-order mark, so that every Notepad shows it right. Entries carry a
fixed date and fixed permissions, so nothing of the build machine or the time gets in.
"""

import hashlib
import os
import sys
import zipfile

FIXED_TIME = (1980, 1, 1, 0, 0, 0)  # the earliest time a zip entry can hold
FILE_MODE = 0o100644  # a regular file, readable by all


def text_for_windows(data):
    lines = data.decode("utf-8").replace("\r\n", "\n").split("\n")
    return "\ufeff".encode("utf-8") + "\r\n".join(lines).encode("utf-8")


def entry(name):
    info = zipfile.ZipInfo(name, date_time=FIXED_TIME)
    info.create_system = 3  # permissions as Unix gives them, whichever system builds it
    info.external_attr = FILE_MODE << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def parse(arguments):
    files = []
    text = False
    for argument in arguments:
        if argument == "--text":
            text = True
            continue
        name, separator, path = argument.partition("=")
        if not separator or not name or not path:
            sys.exit(f"make_zip.py: expected NAME=PATH, got '{argument}'")
        files.append((name, path, text))
        text = False
    return files


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sums = []
    partial = sys.argv[1] + ".partial"  # a failed run leaves no zip that looks whole
    with zipfile.ZipFile(partial, "w") as archive:
        for name, path, text in parse(sys.argv[2:]):
            with open(path, "rb") as source:
                data = source.read()
            if text:
                data = text_for_windows(data)
            archive.writestr(entry(name), data, compresslevel=9)
            sums.append(f"{hashlib.sha256(data).hexdigest()}  {name}\n")
        archive.writestr(entry("SHA256SUMS"), "".join(sums).encode("ascii"), compresslevel=9)
    os.replace(partial, sys.argv[1])


if __name__ == "__main__":
    main()
