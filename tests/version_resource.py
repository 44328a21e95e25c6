#!/usr/bin/env python3
"""Checks that the version resource of pairset.exe carries the project's version.

usage: version_resource.py PAIRSET_EXE VERSION
"""
import sys

import pefile


def main(exe_path, version):
    exe = pefile.PE(exe_path)
    if not hasattr(exe, "VS_FIXEDFILEINFO"):
        sys.exit(f"{exe_path}: no version resource")
    fixed = exe.VS_FIXEDFILEINFO[0]
    numbers = [int(part) for part in version.split(".")] + [0]
    expected_ms = numbers[0] << 16 | numbers[1]
    expected_ls = numbers[2] << 16 | numbers[3]
    failures = []
    for field in ("File", "Product"):
        got = (getattr(fixed, field + "VersionMS"), getattr(fixed, field + "VersionLS"))
        if got != (expected_ms, expected_ls):
            failures.append(f"fixed {field}Version is {got}, not {version}")
    strings = {}
    for info in exe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    for key in ("FileVersion", "ProductVersion"):
        if strings.get(key) != version:
            failures.append(f"{key} is {strings.get(key)!r}, not {version!r}")
    for key in ("ProductName", "FileDescription", "LegalCopyright"):
        if not strings.get(key):
            failures.append(f"{key} is missing")
    for failure in failures:
        print(f"{exe_path}: {failure}")
    if failures:
        sys.exit(1)
    print(f"{exe_path}: version {version}, {strings['ProductName']}: {strings['FileDescription']}")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
