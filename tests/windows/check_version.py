#!/usr/bin/env python3
"""What Windows shows in an exe's properties, read from the file alone (with icoutils' wrestool):

    check_version.py EXE VERSION        VERSION: the build's, e.g. 0.11a

EXE must carry one version resource whose numbers are VERSION's (a letter as the third: 0.11a is
0.11.1.0) and whose strings, in the language its translation names, give VERSION, the product,
the file's name and the licence."""
import os
import re
import struct
import subprocess
import sys


def fail(exe, text):
    sys.exit(f"{exe}: {text}")


def node(data, at):
    """One VS_VERSIONINFO node at offset `at`: (key, value bytes, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    key = data[at + 6:end].decode("utf-16-le", "replace").split("\0")[0]
    pos = (at + 6 + 2 * len(key) + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + size]
    pos = (pos + size + 3) & ~3
    children = []
    while pos < end:
        child, child_end = node(data, pos)
        children.append(child)
        pos = (child_end + 3) & ~3
    return (key, value, children), end


def main(exe, version):
    listing = subprocess.run(["wrestool", "-l", "-t16", exe], capture_output=True, text=True,
                             check=True).stdout.splitlines()
    if len(listing) != 1:
        fail(exe, f"not one version resource: {listing}")
    data = subprocess.run(["wrestool", "-x", "--raw", "-t16", exe], capture_output=True,
                          check=True).stdout
    (key, fixed, children), _ = node(data, 0)
    numbers = re.fullmatch(r"(\d+)\.(\d+)([a-z]?)", version)
    letter = ord(numbers[3]) - ord("a") + 1 if numbers[3] else 0
    words = ((int(numbers[1]) << 16) | int(numbers[2]), letter << 16)
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        fail(exe, "no VS_VERSION_INFO with a fixed file info")
    if struct.unpack_from("<4I", fixed, 8) != words * 2:
        fail(exe, f"file and product version {struct.unpack_from('<4I', fixed, 8)}, not {words}")
    tables = {k: c for k, _, c in children}
    translation = {k: v for k, v, _ in tables.get("VarFileInfo", [])}.get("Translation", b"")
    language = "%04X%04X" % struct.unpack("<HH", translation[:4]) if len(translation) >= 4 else ""
    strings = {k: c for k, _, c in tables.get("StringFileInfo", [])}.get(language)
    if strings is None:
        fail(exe, f"no strings in the translation's language {language or '(none)'}")
    text = {k: v.decode("utf-16-le").rstrip("\0") for k, v, _ in strings}
    wanted = {"FileVersion": version, "ProductVersion": version, "ProductName": "jmreader",
              "OriginalFilename": os.path.basename(exe)}
    wrong = {k: text.get(k) for k, v in wanted.items() if text.get(k) != v}
    if wrong or "MIT" not in text.get("LegalCopyright", "") or not text.get("FileDescription"):
        fail(exe, f"strings {text}")
    print(f"{exe}: version {version} as wanted")


if __name__ == "__main__":
    main(*sys.argv[1:])
