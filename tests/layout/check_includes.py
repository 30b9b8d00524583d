#!/usr/bin/env python3
"""The include graph runs downward only.

Each folder may include the standard library, system and third-party headers
(<...>) and, in quotes, only the headers of the folders it is allowed to see:

  lib/include/pelkaro  the public headers among themselves
  lib/core             public headers, its own private headers
  lib/check            public headers, core's and its own private headers
  lib/nxcansas         public headers, core's and its own private headers
  apps/<program>       public headers, its own folder and apps/common
  apps/common          public headers and its own folder

A quoted include that names a header of another folder (a private header of
a level above, or any private header from a program) is reported as
FILE:LINE: error: ..., and the script exits with 1.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def allowed_dirs(path):
    rel = path.relative_to(ROOT).parts
    pub = ROOT / "lib" / "include"
    if rel[:3] == ("lib", "include", "pelkaro"):
        return [pub]
    if rel[:2] == ("lib", "core"):
        return [pub, ROOT / "lib/core"]
    if rel[:2] in (("lib", "check"), ("lib", "nxcansas")):
        return [pub, ROOT / "lib/core", ROOT / "lib" / rel[1]]
    if rel[0] == "apps" and len(rel) > 2:
        own = ROOT / "apps" / rel[1]
        return [pub, own, ROOT / "apps/common"]
    return None


def main():
    errors = 0
    files = [p for d in ("lib", "apps") for p in (ROOT / d).rglob("*") if p.suffix in (".h", ".cpp")]
    for path in sorted(files):
        dirs = allowed_dirs(path)
        if dirs is None:
            continue
        text = path.read_text(errors="replace")
        for m in INCLUDE.finditer(text):
            name = m.group(1)
            line = text.count("\n", 0, m.start()) + 1
            if any((d / name).is_file() for d in dirs) or (path.parent / name).is_file():
                continue
            where = path.relative_to(ROOT)
            print(f"{where}:{line}: error: \"{name}\" is not a header this folder may include")
            errors += 1
    checked = len(files)
    if errors:
        print(f"{errors} includes against the layout in {checked} files")
        return 1
    print(f"includes: {checked} files of lib/ and apps/ include only downward")
    return 0


if __name__ == "__main__":
    sys.exit(main())
