#!/usr/bin/env python3
"""Checks the layer rule of src/: a folder includes headers of its own layer or of
layers below it, never above, and Python.h is included only in src/python.

    text  <  platform, documents  <  launcher  <  python

platform and documents sit side by side and do not include each other. Prints
one line per violation (file:line: what) and exits 1 when there is any.

    python3 scripts/check_layers.py [SRC_DIR]
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

# The layers each folder may include from (its own included).
ALLOWED = {
    "text": {"text"},
    "platform": {"text", "platform"},
    "documents": {"text", "documents"},
    "launcher": {"text", "platform", "documents", "launcher"},
    "python": {"text", "platform", "documents", "launcher", "python"},
}
SOURCE_SUFFIXES = {".cpp", ".cc", ".hpp", ".h", ".in"}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]')


def violations(src: Path) -> list[str]:
    found = []
    for path in sorted(src.rglob("*")):
        if not path.is_file() or path.suffix not in SOURCE_SUFFIXES:
            continue
        layer = path.relative_to(src).parts[0]
        if layer not in ALLOWED:
            found.append(f"{path}: folder src/{layer} is not a known layer")
            continue
        lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
        for number, line in enumerate(lines, 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            header = match.group(1)
            if Path(header).name == "Python.h" and layer != "python":
                found.append(f"{path}:{number}: Python.h included outside src/python")
                continue
            target = header.split("/", 1)[0]
            if "/" in header and target in ALLOWED:
                if target not in ALLOWED[layer]:
                    found.append(f"{path}:{number}: src/{layer} includes {header} of src/{target}")
    return found


def main() -> int:
    src = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src"
    found = violations(src)
    for line in found:
        print(line)
    if found:
        print(f"layers: {len(found)} violation(s) of the layer rule", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
